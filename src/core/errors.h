#pragma once

// How the programs report what went wrong. Every module follows these rules, so that a caller
// knows from a function's kind what it has to look at.
//
// Refusals are values. A request the user can correct (a name with a "/", an edit of a field
// that cannot be edited, an extension that can never match) is checked before anything is
// touched and answered with a typed value: the refusal's text (empty when allowed), an enum or a
// result struct with the reason (NewCatalogRefusal, EditRefusal, ExtensionRefusal, ResultEdit).
// Nothing is written when a request is refused.
//
// Failures are exceptions of one family. An operation that cannot finish (a file that cannot be
// read or written, a damaged catalog, memory that runs out, a server that goes away) raises
// LumivorError or one of its kinds (IndexError, pg::ServerError); std::bad_alloc is turned into
// a LumivorError that says memory ran out where the operation can still say what it was doing.
// The text is the user's to read as it stands: it names the file and the reason. A failure
// never passes for a result:
//   - a scan, load, update or import that fails part-way leaves no tree behind that could be
//     saved as a finished catalog (the tree is cleared before the error leaves);
//   - a save or export writes to a temporary file that replaces the old one only once it is
//     whole (AtomicFile), so a failed or cancelled save leaves the old file as it was;
//   - nothing catches an error only to go on as though it had not happened. A `catch` names what
//     it expects; one that takes every kind of error only hands it on: raised again,
//     or kept and raised on the thread that waits for the work.
//
// Partial results carry marks. Where part of the work cannot be done but the rest is worth
// keeping (a folder that cannot be listed, a file that cannot be hashed, a damaged archive in a
// deep scan), the record concerned carries the mark (the ReadError attribute) and the report
// counts them, so the user sees where a catalog is incomplete.
//
// Cancel is neither: a cancelled operation returns with its report saying so, writes nothing
// and leaves what was there.
//
// What the user sees. The window runs every command through MainWindow::RunCommand, which shows
// the error's text in a message box "Error"; work on the worker thread hands its error back to
// the window's thread (BackgroundWork), which raises it there. The command line prints the text
// on standard error and exits with status 1; a count of marked records is printed after a
// result that is otherwise complete.

#include <stdexcept>
#include <string>

namespace lumivor {

// The error every core operation raises when it cannot do what was asked. Its text is meant for
// the user as it stands: it names the file and the reason.
class LumivorError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The text of errno `error_number` as the system words it.
[[nodiscard]] std::string SystemMessage(int error_number);

}  // namespace lumivor
