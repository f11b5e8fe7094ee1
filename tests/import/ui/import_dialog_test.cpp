// The import dialog: the format told from the chosen file, the proposed name, the checks of OK
// and the request it hands on.

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <filesystem>

#include "core/prompts.h"
#include "import/ui/import_dialog.h"
#ifndef LUMIVOR_CLI_PATH
#define LUMIVOR_CLI_PATH ""
#endif
#include "support/scripted_prompts.h"
#include "test_util.h"

using lumivor::ImportDialog;
using lumivor::ListingFormat;
using lumivor::ScriptedPrompts;
using lumivor::testing::TempDir;
using lumivor::testing::WriteFile;

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

struct Fixture {
  TempDir dir;
  std::string root = dir / "CatalogLibrary";
  ScriptedPrompts prompts;
  Fixture() {
    std::filesystem::create_directories(root + "/Backups");
    WriteFile(dir / "disk.2024.json", "[1,2,{},[{\"name\":\"/d\"}]]\n");
    WriteFile(dir / "sums.txt", "d41d8cd98f00b204e9800998ecf8427e  /a/b\n");
    WriteFile(root + "/Backups/old.xml", "<fileinfo/>");
  }
};

}  // namespace

class ImportDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void TheFormatIsRecognisedAndCanBeChanged() {
    Fixture f;
    ImportDialog dialog(f.prompts, Q(f.root));
    f.prompts.file_answers.push_back(f.dir / "sums.txt");
    dialog.browse_button->click();
    QCOMPARE(dialog.file_edit->text(), Q(f.dir / "sums.txt"));
    QCOMPARE(dialog.format_combo->currentText(), QStringLiteral("hashdeep"));
    QCOMPARE(dialog.name_edit->text(), QStringLiteral("sums"));
    // A typed name is kept when another file is chosen.
    dialog.name_edit->setText(QStringLiteral("mine"));
    dialog.SetSourcePath(Q(f.dir / "disk.2024.json"));
    QCOMPARE(dialog.format_combo->currentText(), QStringLiteral("ncdu"));
    QCOMPARE(dialog.name_edit->text(), QStringLiteral("mine"));
    dialog.format_combo->setCurrentIndex(static_cast<int>(ListingFormat::kCatcli));
    dialog.group_combo->setCurrentText(QStringLiteral("Backups"));
    dialog.ok_button->click();
    QCOMPARE(dialog.result(), static_cast<int>(QDialog::Accepted));
    const lumivor::ImportRequest request = dialog.Request();
    QCOMPARE(Q(request.source), Q(f.dir / "disk.2024.json"));
    QVERIFY(request.format == ListingFormat::kCatcli);
    QCOMPARE(Q(request.folder), Q(f.root + "/Backups"));
    QCOMPARE(Q(request.name), QStringLiteral("mine"));
  }

  void OkRefusesWhatCannotBeImported() {
    Fixture f;
    ImportDialog dialog(f.prompts, Q(f.root));
    dialog.ok_button->click();  // no file
    QCOMPARE(Q(f.prompts.shown.back().text), QStringLiteral("The file does not exist."));
    dialog.SetSourcePath(Q(f.dir / "sums.txt"));
    dialog.name_edit->setText(QStringLiteral("../up"));
    dialog.ok_button->click();
    QCOMPARE(dialog.result(), static_cast<int>(QDialog::Rejected));
    QCOMPARE(f.prompts.shown.size(), std::size_t{2});
    // An existing catalog is replaced only when the user says so.
    dialog.name_edit->setText(QStringLiteral("old"));
    dialog.group_combo->setCurrentText(QStringLiteral("Backups"));
    dialog.ok_button->click();
    QCOMPARE(Q(f.prompts.shown.back().text),
             QStringLiteral("Catalog with the same name already exists,overwrite?"));
    QCOMPARE(dialog.result(), static_cast<int>(QDialog::Rejected));
    f.prompts.yes_no_answers.push_back(true);
    dialog.ok_button->click();
    QCOMPARE(dialog.result(), static_cast<int>(QDialog::Accepted));
    // A new group is made when the import is accepted.
    dialog.setResult(QDialog::Rejected);
    dialog.group_combo->setCurrentText(QStringLiteral("Fresh"));
    dialog.ok_button->click();
    QVERIFY(std::filesystem::is_directory(f.root + "/Fresh"));
  }
};

QTEST_MAIN(ImportDialogTest)
#include "import_dialog_test.moc"
