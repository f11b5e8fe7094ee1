#include "server/pg_connection.h"

#include <dlfcn.h>
#include <libpq-fe.h>

#include <algorithm>
#include <charconv>
#include <exception>
#include <mutex>

namespace lumivor::pg {

namespace {

// libpq (with the many libraries it needs: TLS, Kerberos, LDAP) is loaded when a server
// library is first used, so that every other start of the programs stays quick.
struct LibPq {
  decltype(&::PQclear) PQclear = nullptr;
  decltype(&::PQcmdTuples) PQcmdTuples = nullptr;
  decltype(&::PQconnectdbParams) PQconnectdbParams = nullptr;
  decltype(&::PQconninfoFree) PQconninfoFree = nullptr;
  decltype(&::PQconninfoParse) PQconninfoParse = nullptr;
  decltype(&::PQerrorMessage) PQerrorMessage = nullptr;
  decltype(&::PQexec) PQexec = nullptr;
  decltype(&::PQexecParams) PQexecParams = nullptr;
  decltype(&::PQexecPrepared) PQexecPrepared = nullptr;
  decltype(&::PQfinish) PQfinish = nullptr;
  decltype(&::PQfreemem) PQfreemem = nullptr;
  decltype(&::PQgetResult) PQgetResult = nullptr;
  decltype(&::PQgetisnull) PQgetisnull = nullptr;
  decltype(&::PQgetlength) PQgetlength = nullptr;
  decltype(&::PQgetvalue) PQgetvalue = nullptr;
  decltype(&::PQnfields) PQnfields = nullptr;
  decltype(&::PQntuples) PQntuples = nullptr;
  decltype(&::PQprepare) PQprepare = nullptr;
  decltype(&::PQputCopyData) PQputCopyData = nullptr;
  decltype(&::PQputCopyEnd) PQputCopyEnd = nullptr;
  decltype(&::PQresultErrorField) PQresultErrorField = nullptr;
  decltype(&::PQresultErrorMessage) PQresultErrorMessage = nullptr;
  decltype(&::PQresultStatus) PQresultStatus = nullptr;
  decltype(&::PQsendQueryParams) PQsendQueryParams = nullptr;
  decltype(&::PQserverVersion) PQserverVersion = nullptr;
  decltype(&::PQsetNoticeProcessor) PQsetNoticeProcessor = nullptr;
  decltype(&::PQsetSingleRowMode) PQsetSingleRowMode = nullptr;
  decltype(&::PQstatus) PQstatus = nullptr;
  bool loaded = false;
};

template <typename Function>
bool Bind(void* handle, const char* name, Function* function) {
  *function = reinterpret_cast<Function>(::dlsym(handle, name));
  return *function != nullptr;
}

const LibPq& Pq() {
  static LibPq library;
  static std::once_flag once;
  std::call_once(once, [] {
    void* handle = ::dlopen("libpq.so.5", RTLD_NOW | RTLD_LOCAL);
    if (!handle) return;
    LibPq& l = library;
    l.loaded = Bind(handle, "PQclear", &l.PQclear) && Bind(handle, "PQcmdTuples", &l.PQcmdTuples) &&
               Bind(handle, "PQconnectdbParams", &l.PQconnectdbParams) &&
               Bind(handle, "PQconninfoFree", &l.PQconninfoFree) &&
               Bind(handle, "PQconninfoParse", &l.PQconninfoParse) &&
               Bind(handle, "PQerrorMessage", &l.PQerrorMessage) &&
               Bind(handle, "PQexec", &l.PQexec) && Bind(handle, "PQexecParams", &l.PQexecParams) &&
               Bind(handle, "PQexecPrepared", &l.PQexecPrepared) &&
               Bind(handle, "PQfinish", &l.PQfinish) && Bind(handle, "PQfreemem", &l.PQfreemem) &&
               Bind(handle, "PQgetResult", &l.PQgetResult) &&
               Bind(handle, "PQgetisnull", &l.PQgetisnull) &&
               Bind(handle, "PQgetlength", &l.PQgetlength) &&
               Bind(handle, "PQgetvalue", &l.PQgetvalue) &&
               Bind(handle, "PQnfields", &l.PQnfields) && Bind(handle, "PQntuples", &l.PQntuples) &&
               Bind(handle, "PQprepare", &l.PQprepare) &&
               Bind(handle, "PQputCopyData", &l.PQputCopyData) &&
               Bind(handle, "PQputCopyEnd", &l.PQputCopyEnd) &&
               Bind(handle, "PQresultErrorField", &l.PQresultErrorField) &&
               Bind(handle, "PQresultErrorMessage", &l.PQresultErrorMessage) &&
               Bind(handle, "PQresultStatus", &l.PQresultStatus) &&
               Bind(handle, "PQsendQueryParams", &l.PQsendQueryParams) &&
               Bind(handle, "PQserverVersion", &l.PQserverVersion) &&
               Bind(handle, "PQsetNoticeProcessor", &l.PQsetNoticeProcessor) &&
               Bind(handle, "PQsetSingleRowMode", &l.PQsetSingleRowMode) &&
               Bind(handle, "PQstatus", &l.PQstatus);
  });
  return library;
}

constexpr std::string_view kNoLibPqText =
    "the PostgreSQL client library (libpq.so.5) is not installed";

void ClearResult(PGresult* result) { Pq().PQclear(result); }

// Texts of the parameters, NUL-terminated as libpq wants them.
struct ParamTexts {
  explicit ParamTexts(const std::vector<Param>& params) {
    texts.reserve(params.size());
    for (const Param& param : params)
      texts.emplace_back(param ? std::string(*param) : std::string());
    for (std::size_t i = 0; i < params.size(); ++i) {
      pointers.push_back(params[i] ? texts[i].c_str() : nullptr);
    }
  }
  std::vector<std::string> texts;
  std::vector<const char*> pointers;
};

FailureKind KindOf(std::string_view sqlstate) {
  if (sqlstate.substr(0, 2) == "08" || sqlstate == "57P01" || sqlstate == "57P02" ||
      sqlstate == "57P03") {
    return FailureKind::kConnectionLost;
  }
  if (sqlstate == "42501" || sqlstate == "25006") return FailureKind::kReadOnly;
  if (sqlstate == "23505") return FailureKind::kExists;
  if (sqlstate == "40001" || sqlstate == "40P01") return FailureKind::kRetry;
  return FailureKind::kOther;
}

// libpq's messages end in a newline and may hold several lines; the first line is the reason.
std::string FirstLine(std::string_view text) {
  const std::size_t end = text.find('\n');
  std::string line(text.substr(0, end));
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
  return line;
}

// The server's notices (NOTICE: relation exists, skipping) are not for the user.
void DropNotice(void*, const char*) {}

}  // namespace

// --- Result ---------------------------------------------------------------------------------

void Result::Deleter::operator()(pg_result* result) const { Pq().PQclear(result); }

Result::Result(pg_result* result) : result_(result) {}

int Result::Rows() const { return result_ ? Pq().PQntuples(result_.get()) : 0; }
int Result::Columns() const { return result_ ? Pq().PQnfields(result_.get()) : 0; }

bool Result::IsNull(int row, int column) const {
  return Pq().PQgetisnull(result_.get(), row, column) != 0;
}

std::string_view Result::Text(int row, int column) const {
  return {Pq().PQgetvalue(result_.get(), row, column),
          static_cast<std::size_t>(Pq().PQgetlength(result_.get(), row, column))};
}

std::int64_t Result::Int(int row, int column) const {
  const std::string_view text = Text(row, column);
  std::int64_t value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

std::int64_t Result::Affected() const {
  const char* count = Pq().PQcmdTuples(result_.get());
  std::int64_t value = 0;
  std::from_chars(count, count + std::char_traits<char>::length(count), value);
  return value;
}

// --- Connection -----------------------------------------------------------------------------

void Connection::Deleter::operator()(pg_conn* connection) const { Pq().PQfinish(connection); }

namespace {

// Connects with the texts as UTF-8 bytes whatever the client's locale; asked for in the start-up
// message, which spares a round trip to the server.
pg_conn* ConnectUtf8(const std::string& conninfo) {
  if (!Pq().loaded) {
    throw ServerError("Cannot connect to the library server: " + std::string(kNoLibPqText),
                      FailureKind::kOther, {});
  }
  const char* const keywords[] = {"dbname", "client_encoding", nullptr};
  const char* const values[] = {conninfo.c_str(), "UTF8", nullptr};
  return Pq().PQconnectdbParams(keywords, values, /*expand_dbname=*/1);
}

}  // namespace

Connection::Connection(const std::string& conninfo) : connection_(ConnectUtf8(conninfo)) {
  if (!connection_) throw ServerError("Out of memory while connecting", FailureKind::kOther, {});
  if (Pq().PQstatus(connection_.get()) != CONNECTION_OK) {
    const std::string reason = FirstLine(Pq().PQerrorMessage(connection_.get()));
    throw ServerError(
        "Cannot connect to the library server " + RedactedConnInfo(conninfo) + ": " + reason,
        FailureKind::kConnectionLost, "08001");
  }
  Pq().PQsetNoticeProcessor(connection_.get(), DropNotice, nullptr);
}

Connection::~Connection() = default;

bool Connection::Ok() const { return Pq().PQstatus(connection_.get()) == CONNECTION_OK; }

int Connection::ServerVersion() const { return Pq().PQserverVersion(connection_.get()); }

void Connection::Raise(const pg_result* result, std::string_view what) const {
  std::string sqlstate;
  if (result != nullptr) {
    if (const char* state = Pq().PQresultErrorField(result, PG_DIAG_SQLSTATE)) sqlstate = state;
  }
  std::string reason = FirstLine(result != nullptr ? Pq().PQresultErrorMessage(result) : "");
  if (reason.empty()) reason = FirstLine(Pq().PQerrorMessage(connection_.get()));
  // "ERROR:  " is the server's severity prefix; the user is told the reason alone.
  if (reason.rfind("ERROR:  ", 0) == 0) reason.erase(0, 8);
  FailureKind kind = KindOf(sqlstate);
  if (Pq().PQstatus(connection_.get()) != CONNECTION_OK) kind = FailureKind::kConnectionLost;
  if (kind == FailureKind::kConnectionLost) {
    throw ServerError(std::string(kConnectionLostText) + ": " + reason, kind, sqlstate);
  }
  std::string message(what);
  if (!message.empty()) message += ": ";
  throw ServerError(message + reason, kind, sqlstate);
}

Result Connection::Exec(std::string_view sql, const std::vector<Param>& params) {
  const ParamTexts texts(params);
  const std::string statement(sql);
  return Checked(Pq().PQexecParams(connection_.get(), statement.c_str(),
                                   static_cast<int>(params.size()), nullptr, texts.pointers.data(),
                                   nullptr, nullptr, 0));
}

Result Connection::Checked(pg_result* raw) const {
  Result result(raw);
  const ExecStatusType status = Pq().PQresultStatus(raw);
  if (raw == nullptr || (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)) Raise(raw, {});
  return result;
}

Result Connection::ExecPrepared(const std::string& name, std::string_view sql,
                                const std::vector<Param>& params) {
  if (std::find(prepared_.begin(), prepared_.end(), name) == prepared_.end()) {
    const std::string statement(sql);
    const Result prepared =
        Checked(Pq().PQprepare(connection_.get(), name.c_str(), statement.c_str(),
                               static_cast<int>(params.size()), nullptr));
    prepared_.push_back(name);
  }
  const ParamTexts texts(params);
  return Checked(Pq().PQexecPrepared(connection_.get(), name.c_str(),
                                     static_cast<int>(params.size()), texts.pointers.data(),
                                     nullptr, nullptr, 0));
}

void Connection::Stream(std::string_view sql, const std::vector<Param>& params,
                        const std::function<void(const Result&)>& row) {
  const ParamTexts texts(params);
  const std::string statement(sql);
  if (Pq().PQsendQueryParams(connection_.get(), statement.c_str(), static_cast<int>(params.size()),
                             nullptr, texts.pointers.data(), nullptr, nullptr, 0) != 1) {
    Raise(nullptr, {});
  }
  Pq().PQsetSingleRowMode(connection_.get());
  std::unique_ptr<PGresult, decltype(&ClearResult)> failure(nullptr, &ClearResult);
  std::exception_ptr thrown;
  // Every result is taken, also after a failure, so that the connection is ready again.
  while (PGresult* raw = Pq().PQgetResult(connection_.get())) {
    const ExecStatusType status = Pq().PQresultStatus(raw);
    if (status == PGRES_SINGLE_TUPLE) {
      const Result one(raw);
      if (thrown || failure) continue;
      try {
        row(one);
      } catch (...) {
        thrown = std::current_exception();
      }
    } else if (status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK || failure) {
      Pq().PQclear(raw);
    } else {
      failure.reset(raw);
    }
  }
  if (thrown) std::rethrow_exception(thrown);
  if (failure) Raise(failure.get(), {});
  if (!Ok()) Raise(nullptr, {});
}

void Connection::CopyStart(std::string_view sql) {
  const std::string statement(sql);
  PGresult* result = Pq().PQexec(connection_.get(), statement.c_str());
  const Result owned(result);
  if (Pq().PQresultStatus(result) != PGRES_COPY_IN) Raise(result, "Cannot start writing");
}

void Connection::CopyData(std::string_view data) {
  if (Pq().PQputCopyData(connection_.get(), data.data(), static_cast<int>(data.size())) != 1) {
    Raise(nullptr, "Cannot write");
  }
}

void Connection::CopyEnd() {
  if (Pq().PQputCopyEnd(connection_.get(), nullptr) != 1) Raise(nullptr, "Cannot write");
  // The outcome of the COPY, then the end of results.
  std::unique_ptr<PGresult, decltype(&ClearResult)> failure(nullptr, &ClearResult);
  while (PGresult* result = Pq().PQgetResult(connection_.get())) {
    if (Pq().PQresultStatus(result) != PGRES_COMMAND_OK && !failure) {
      failure.reset(result);
    } else {
      Pq().PQclear(result);
    }
  }
  if (failure) Raise(failure.get(), "Cannot write");
}

void Connection::CopyAbort() noexcept {
  if (Pq().PQputCopyEnd(connection_.get(), "cancelled by the program") != 1) return;
  while (PGresult* result = Pq().PQgetResult(connection_.get())) Pq().PQclear(result);
}

// --- Transaction ----------------------------------------------------------------------------

Transaction::Transaction(Connection& connection, bool serializable) : connection_(connection) {
  connection_.Exec(serializable ? "BEGIN ISOLATION LEVEL SERIALIZABLE" : "BEGIN");
}

Transaction::~Transaction() {
  if (!open_ || !connection_.Ok()) return;
  try {
    connection_.Exec("ROLLBACK");
  } catch (const ServerError&) {
    // The connection went: the server rolls back what it did not commit.
  }
}

void Transaction::Commit() {
  open_ = false;
  connection_.Exec("COMMIT");
}

// --- Texts ----------------------------------------------------------------------------------

std::string RedactedConnInfo(const std::string& conninfo) {
  if (!Pq().loaded) return "(connection string not shown: " + std::string(kNoLibPqText) + ")";
  char* error = nullptr;
  PQconninfoOption* options = Pq().PQconninfoParse(conninfo.c_str(), &error);
  if (error != nullptr) Pq().PQfreemem(error);
  if (options == nullptr) return "(invalid connection string)";
  Pq().PQconninfoFree(options);
  const bool uri = conninfo.rfind("postgresql://", 0) == 0 || conninfo.rfind("postgres://", 0) == 0;
  if (uri) {
    // scheme://[user[:password]@]host...: the password is the part after ":" in the user info.
    const std::size_t start = conninfo.find("://") + 3;
    const std::size_t at = conninfo.find('@', start);
    const std::size_t slash = conninfo.find('/', start);
    std::string shown = conninfo;
    if (at != std::string::npos && (slash == std::string::npos || at < slash)) {
      const std::size_t colon = conninfo.find(':', start);
      if (colon != std::string::npos && colon < at) shown.erase(colon, at - colon);
    }
    // A password may also come as a query parameter.
    for (std::size_t p = shown.find("password=", shown.find('?')); p != std::string::npos;
         p = shown.find("password=", p)) {
      if (shown.find('?') == std::string::npos || p < shown.find('?')) break;
      const char before = shown[p - 1];
      if (before != '?' && before != '&') {
        p += 9;
        continue;
      }
      std::size_t end = shown.find('&', p);
      if (end == std::string::npos) {
        shown.erase(before == '&' ? p - 1 : p);
      } else {
        shown.erase(p, end + 1 - p);
      }
    }
    while (!shown.empty() && (shown.back() == '?' || shown.back() == '&')) shown.pop_back();
    return shown;
  }
  // key=value pairs: keep every pair but the password's.
  std::string shown;
  options = Pq().PQconninfoParse(conninfo.c_str(), nullptr);
  for (PQconninfoOption* option = options; option != nullptr && option->keyword != nullptr;
       ++option) {
    if (option->val == nullptr || std::string_view(option->keyword) == "password") continue;
    if (!shown.empty()) shown += ' ';
    shown += option->keyword;
    shown += '=';
    shown += option->val;
  }
  Pq().PQconninfoFree(options);
  return shown;
}

bool IsServerLocation(std::string_view location) {
  return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0 ||
         (location.find('=') != std::string_view::npos &&
          location.find('/') == std::string_view::npos);
}

void AppendCopyText(std::string& out, std::string_view value) {
  // The runs between the characters to escape go in whole: most values have none.
  std::size_t start = 0;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (c != '\\' && c != '\t' && c != '\n' && c != '\r') continue;
    out.append(value.data() + start, i - start);
    out += '\\';
    out += c == '\\' ? '\\' : c == '\t' ? 't' : c == '\n' ? 'n' : 'r';
    start = i + 1;
  }
  out.append(value.data() + start, value.size() - start);
}

std::string ArrayLiteral(const std::vector<std::string_view>& items) {
  std::string literal = "{";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) literal += ',';
    if (items[i].data() == nullptr) {
      literal += "NULL";
      continue;
    }
    literal += '"';
    for (const char c : items[i]) {
      if (c == '"' || c == '\\') literal += '\\';
      literal += c;
    }
    literal += '"';
  }
  literal += '}';
  return literal;
}

void AppendCopyArray(std::string& out, const std::vector<std::string_view>& items) {
  // The array literal first ({"a","b\"c"}), then COPY's escaping of the whole.
  AppendCopyText(out, ArrayLiteral(items));
}

std::vector<std::string> ParseTextArray(std::string_view text) {
  std::vector<std::string> items;
  if (text.size() < 2 || text.front() != '{') return items;
  std::size_t i = 1;
  while (i < text.size() && text[i] != '}') {
    std::string item;
    if (text[i] == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) ++i;
        item += text[i];
      }
      ++i;  // the closing quote
    } else {
      const std::size_t end = text.find_first_of(",}", i);
      item.assign(text.substr(i, end - i));
      if (item == "NULL") item.clear();
      i = end;
    }
    items.push_back(std::move(item));
    if (i < text.size() && text[i] == ',') ++i;
  }
  return items;
}

}  // namespace lumivor::pg
