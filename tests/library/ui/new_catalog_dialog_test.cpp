// The new-catalog dialog: the browser, the default name, the checks of OK, the extension list and
// the filter text handed to the scan.

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTest>
#include <QTreeView>
#include <deque>
#include <filesystem>
#include <memory>

#include "core/prompts.h"
#include "library/ui/library_panel.h"
#include "library/ui/new_catalog_dialog.h"
#ifndef LUMIVOR_CLI_PATH
#define LUMIVOR_CLI_PATH ""
#endif
#include "support/scripted_prompts.h"
#include "test_util.h"

using lumivor::NewCatalogDialog;
using lumivor::ScriptedPrompts;
using lumivor::testing::TempDir;
using lumivor::testing::WriteFile;

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

struct Fixture {
  TempDir dir;
  std::string root = dir / "CatalogLibrary";
  std::string source = dir / "Data/my.files";
  ScriptedPrompts prompts;
  Fixture() {
    std::filesystem::create_directories(root + "/Mp3/Old");
    std::filesystem::create_directories(source);
    WriteFile(root + "/Mp3/catalog.xml", "<fileinfo/>");
  }
};

void Browse(NewCatalogDialog& dialog, const QString& answer, QString* asked = nullptr) {
  dialog.browse_folder = [answer, asked](const QString& start) {
    if (asked != nullptr) *asked = start;
    return answer;
  };
  dialog.browse_button->click();
}

void AddExtension(NewCatalogDialog& dialog, const QString& text) {
  dialog.extension_edit->setText(text);
  QTest::keyClick(dialog.extension_edit, Qt::Key_Return);
}

QStringList Entries(const NewCatalogDialog& dialog) {
  QStringList entries;
  for (int row = 0; row < dialog.extension_list->count(); ++row)
    entries << dialog.extension_list->item(row)->text();
  return entries;
}

}  // namespace

class NewCatalogDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void StartsCompactWithOkDisabledAndOnlyGroups() {
    Fixture f;
    NewCatalogDialog dialog(f.prompts, Q(f.root));
    QCOMPARE(dialog.windowTitle(), QString("Create a new Catalog"));
    QVERIFY(!dialog.ok_button->isEnabled());
    QVERIFY(dialog.advanced_panel->isHidden());
    QVERIFY(dialog.all_files_radio->isChecked());
    QVERIFY(!dialog.extension_edit->isEnabled());
    QCOMPARE(dialog.library_panel->SelectedPath(), Q(f.root));
    QVERIFY(!dialog.library_panel->SelectNodeByPath(Q(f.root + "/Mp3/catalog.xml")));
    QVERIFY(dialog.library_panel->SelectNodeByPath(Q(f.root + "/Mp3/Old")));
  }

  void BrowsingProposesTheNameAndPreselectsThePreviousChoice() {
    Fixture f;
    NewCatalogDialog dialog(f.prompts, Q(f.root));
    QString asked = "unset";
    Browse(dialog, Q(f.source), &asked);
    QCOMPARE(asked, QString());
    QCOMPARE(dialog.folder_edit->text(), Q(f.source));
    QCOMPARE(dialog.name_edit->text(), QString("my"));
    QVERIFY(dialog.ok_button->isEnabled());
    // A name the user typed survives the next choice of a folder.
    QTest::keyClicks(dialog.name_edit, "x");
    QCOMPARE(dialog.name_edit->text(), QString("myx"));
    Browse(dialog, Q(f.dir / "Data"), &asked);
    QCOMPARE(asked, Q(f.source));
    QCOMPARE(dialog.SourcePath(), Q(f.dir / "Data"));
    QCOMPARE(dialog.name_edit->text(), QString("myx"));
    // Once the user empties it, the next choice proposes a name again.
    dialog.name_edit->clear();
    Browse(dialog, Q(f.source));
    QCOMPARE(dialog.name_edit->text(), QString("my"));
  }

  void ATypedOrPastedFolderIsAccepted() {
    Fixture f;
    NewCatalogDialog dialog(f.prompts, Q(f.root));
    QTest::keyClicks(dialog.folder_edit, Q(f.dir / "Data/my"));  // a prefix only: no folder yet
    QVERIFY(!dialog.ok_button->isEnabled());
    QTest::keyClicks(dialog.folder_edit, ".files");
    QVERIFY(dialog.ok_button->isEnabled());
    QCOMPARE(dialog.SourcePath(), Q(f.source));
    QCOMPARE(dialog.name_edit->text(), QString("my"));
    dialog.ok_button->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.CatalogFile(), Q(f.root + "/my.xml"));
    QVERIFY(f.prompts.shown.empty());
  }

  void EnterConfirmsAndTheNameBoxStartsEmptyWithItsHint() {
    Fixture f;
    NewCatalogDialog dialog(f.prompts, Q(f.root));
    QCOMPARE(dialog.name_edit->text(), QString());
    QCOMPARE(dialog.name_edit->placeholderText(), QString("Input catalog name here."));
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    Browse(dialog, Q(f.source));
    QVERIFY(dialog.ok_button->isDefault());
    QTest::keyClick(dialog.name_edit, Qt::Key_Return);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.CatalogFile(), Q(f.root + "/my.xml"));
  }

  void ReplacingACatalogWithDescriptionsSaysHowManyAndOffersTheUpdate() {
    Fixture f;
    WriteFile(f.root + "/Notes.xml",
              "<fileinfo><file FileName=\"/m\" Description=\"shelf 3\"><file FileName=\"a\" "
              "Description=\"x\"/><file FileName=\"b\" Description=\"y\"/></file></fileinfo>");
    const auto ok_with = [&](std::deque<bool> answers) {
      auto dialog = std::make_unique<NewCatalogDialog>(f.prompts, Q(f.root));
      Browse(*dialog, Q(f.source));
      dialog->name_edit->setText("Notes");
      f.prompts.shown.clear();
      f.prompts.yes_no_answers = std::move(answers);
      dialog->ok_button->click();
      return dialog;
    };
    // Yes: the catalog is updated from the folder, its descriptions kept.
    auto updated = ok_with({true});
    QCOMPARE(updated->result(), int(QDialog::Accepted));
    QVERIFY(updated->UpdatesExisting());
    QCOMPARE(updated->CatalogFile(), Q(f.root + "/Notes.xml"));
    QCOMPARE(f.prompts.shown.size(), std::size_t{1});
    QCOMPARE(f.prompts.shown[0].text,
             std::string("Catalog with the same name already exists,overwrite?\n\nIt holds 3 "
                         "descriptions, which a new catalog would lose. Update that catalog from "
                         "the folder instead, keeping them?"));
    // No, then Yes: replaced, knowingly.
    auto replaced = ok_with({false, true});
    QCOMPARE(replaced->result(), int(QDialog::Accepted));
    QVERIFY(!replaced->UpdatesExisting());
    QCOMPARE(f.prompts.shown.back().text,
             std::string("Replace the catalog and lose its 3 descriptions?"));
    // No twice: the dialog stays open.
    auto kept = ok_with({false, false});
    QCOMPARE(kept->result(), int(QDialog::Rejected));
    QVERIFY(!kept->UpdatesExisting());
  }

  void OkRefusesAFolderThatIsNotThere() {
    Fixture f;
    NewCatalogDialog dialog(f.prompts, Q(f.root));
    Browse(dialog, Q(f.source));
    dialog.folder_edit->setText(Q(f.dir / "gone"));  // changed after the browse
    dialog.ok_button->setEnabled(true);
    dialog.ok_button->click();
    QCOMPARE(f.prompts.shown.back().text, f.dir / "gone" + ": no such folder.");
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
  }

  void TheCompactViewNamesTheTargetGroup() {
    Fixture f;
    NewCatalogDialog dialog(f.prompts, Q(f.root));
    QVERIFY(dialog.advanced_panel->isHidden());
    QCOMPARE(dialog.group_label->text(), QString("Group: CatalogLibrary"));
    QVERIFY(dialog.library_panel->SelectNodeByPath(Q(f.root + "/Mp3/Old")));
    QCOMPARE(dialog.group_label->text(), QString("Group: CatalogLibrary/Mp3/Old"));
    QCOMPARE(dialog.TargetGroup(), Q(f.root + "/Mp3/Old"));
  }

  void OkChecksItsInputInOrder() {
    Fixture f;
    NewCatalogDialog dialog(f.prompts, Q(f.root));
    Browse(dialog, QString());  // a cancelled first browse still enables OK
    QVERIFY(dialog.ok_button->isEnabled());
    QCOMPARE(dialog.name_edit->text(), QString());
    dialog.ok_button->click();
    QCOMPARE(f.prompts.shown.back().text,
             std::string("Please select the dialog to catalog first."));
    QCOMPARE(f.prompts.shown.back().caption, std::string("Warning"));
    dialog.folder_edit->setText(Q(f.source));
    dialog.ok_button->click();
    QCOMPARE(f.prompts.shown.back().text, std::string("Please input the catalog name."));
    for (const char* bad : {".", "..", "a/b", ".hidden"}) {
      dialog.name_edit->setText(bad);
      dialog.ok_button->click();
      QCOMPARE(f.prompts.shown.back().text,
               std::string(bad[0] == '.' ? "Invalid name. A name cannot begin with a \".\"."
                                         : "Invalid name. A name cannot hold a \"/\"."));
      QCOMPARE(f.prompts.shown.back().caption, std::string("Warning"));
    }
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QVERIFY(dialog.CatalogFile().isEmpty());

    dialog.name_edit->setText("Backup.xml");
    dialog.ok_button->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.CatalogFile(), Q(f.root + "/Backup.xml.xml"));
    QVERIFY(!dialog.OnlyFolders());
  }

  void ANameTooLongForAFileIsRefusedBeforeTheScan() {
    Fixture f;
    NewCatalogDialog dialog(f.prompts, Q(f.root));
    Browse(dialog, Q(f.source));
    // Bytes count: 126 two-byte letters make 252 bytes, one more than a catalog name can have.
    for (const QString& name : {QString(252, QLatin1Char('n')), QString(126, QChar(0xE9))}) {
      dialog.name_edit->setText(name);
      dialog.ok_button->click();
      QCOMPARE(f.prompts.shown.back().text,
               std::string("The catalog name is too long: its file name (with \".xml\") may have "
                           "at most 255 bytes."));
      QCOMPARE(dialog.result(), int(QDialog::Rejected));
    }
    dialog.name_edit->setText(QString(251, QLatin1Char('n')));
    dialog.ok_button->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
  }

  void TheSelectedGroupAndTheOverwriteQuestion() {
    Fixture f;
    NewCatalogDialog dialog(f.prompts, Q(f.root));
    Browse(dialog, Q(f.source));
    dialog.advanced_button->click();
    QVERIFY(dialog.library_panel->SelectNodeByPath(Q(f.root + "/Mp3")));
    dialog.name_edit->setText("catalog");
    dialog.folders_only_radio->setChecked(true);
    f.prompts.yes_no_answers = {false};
    dialog.ok_button->click();
    QCOMPARE(f.prompts.shown.back().text,
             std::string("Catalog with the same name already exists,overwrite?"));
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(dialog.name_edit->text(), QString("catalog"));  // input kept
    f.prompts.yes_no_answers = {true};
    dialog.ok_button->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.CatalogFile(), Q(f.root + "/Mp3/catalog.xml"));
    QVERIFY(dialog.OnlyFolders());
    QCOMPARE(dialog.GetExtFilter(), QString());
  }

  void ExtensionListRulesAndFilterText() {
    Fixture f;
    NewCatalogDialog dialog(f.prompts, Q(f.root));
    dialog.filter_radio->setChecked(true);
    QVERIFY(dialog.extension_edit->isEnabled());
    QVERIFY(!dialog.add_button->isEnabled());    // empty box
    QCOMPARE(dialog.GetExtFilter(), QString());  // filter with an empty list takes all files
    // However it is typed, an extension is listed once as "*." and its lower-case name, and the
    // box is emptied for the next one.
    for (const char* typed : {"h", ".h", "*.h", "*.H"}) {
      AddExtension(dialog, typed);
      QCOMPARE(dialog.extension_edit->text(), QString());
    }
    AddExtension(dialog, "Doc");
    AddExtension(dialog, " mp3 ");
    // A list typed at once gives each of its extensions, as --ext does.
    AddExtension(dialog, "c, CPP,,*.h");
    QCOMPARE(Entries(dialog), QStringList({"*.h", "*.doc", "*.mp3", "*.c", "*.cpp"}));
    QCOMPARE(dialog.result(), int(QDialog::Rejected));  // Enter did not press OK
    QCOMPARE(dialog.GetExtFilter(), QString("\\.H\\.DOC\\.MP3\\.C\\.CPP\\"));
    QVERIFY(f.prompts.shown.empty());
    // What names no extension is refused and left in the box to be mended; an empty box adds
    // nothing and says nothing.
    for (const char* bad : {"*.*", "tar.gz", "a/b", "x, tar.gz"}) {
      AddExtension(dialog, bad);
      QCOMPARE(f.prompts.shown.back().caption, std::string("Warning"));
      QCOMPARE(dialog.extension_edit->text(), QString(bad));
    }
    // An extension with a dot in it is refused with the reason: it could never match.
    QCOMPARE(f.prompts.shown.back().text,
             std::string("\"tar.gz\" can never match: the extension of a name is the text after "
                         "its last dot (the extension of \"a.tar.gz\" is \"gz\"). Type \"gz\" "
                         "instead."));
    const std::size_t refusals = f.prompts.shown.size();
    AddExtension(dialog, "");
    QCOMPARE(f.prompts.shown.size(), refusals);
    QCOMPARE(Entries(dialog), QStringList({"*.h", "*.doc", "*.mp3", "*.c", "*.cpp"}));

    // Deleting the selected entries.
    QVERIFY(!dialog.delete_button->isEnabled());
    dialog.extension_list->setCurrentRow(1);
    QVERIFY(dialog.delete_button->isEnabled());
    for (int row : {2, 3, 4}) dialog.extension_list->item(row)->setSelected(true);
    dialog.delete_button->click();
    QCOMPARE(Entries(dialog), QStringList({"*.h"}));
    dialog.all_files_radio->setChecked(true);
    QCOMPARE(dialog.GetExtFilter(), QString());
    QVERIFY(!dialog.extension_list->isEnabled());
  }

  void AdvancedToggleKeepsTheBottomEdge() {
    Fixture f;
    NewCatalogDialog dialog(f.prompts, Q(f.root));
    dialog.move(100, 420);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const QRect compact = dialog.geometry();
    dialog.advanced_button->click();
    QVERIFY(dialog.advanced_panel->isVisible());
    const QRect expanded = dialog.geometry();
    QVERIFY(expanded.height() > compact.height() + 200);
    QCOMPARE(expanded.bottom(), compact.bottom());
    dialog.advanced_button->click();
    QCOMPARE(dialog.geometry(), compact);

    // Near the top of the screen the window grows downwards instead of leaving the screen.
    dialog.move(100, dialog.screen()->availableGeometry().top() + 10);
    const QRect high = dialog.geometry();
    dialog.advanced_button->click();
    QVERIFY(dialog.frameGeometry().top() >= dialog.screen()->availableGeometry().top());
    dialog.advanced_button->click();
    QCOMPARE(dialog.geometry(), high);
  }

  void DeepScanBoxesStartOffAndAreIgnoredForOnlyFolders() {
    Fixture f;
    NewCatalogDialog dialog(f.prompts, Q(f.root));
    QCOMPARE(dialog.archives_check->text(), QString("Look inside archives"));
    QCOMPARE(dialog.metadata_check->text(), QString("Read music, photo and video tags"));
    QVERIFY(!dialog.DeepOptions().archives && !dialog.DeepOptions().metadata);

    dialog.SetDeepOptions({false, true});
    QVERIFY(!dialog.archives_check->isChecked());
    QVERIFY(dialog.metadata_check->isChecked());
    dialog.archives_check->click();
    QVERIFY(dialog.DeepOptions().archives && dialog.DeepOptions().metadata);

    // "Only Folders" records no files: nothing to look into, whatever the boxes say.
    dialog.folders_only_radio->setChecked(true);
    QVERIFY(!dialog.archives_check->isEnabled());
    QVERIFY(!dialog.DeepOptions().archives && !dialog.DeepOptions().metadata);
    dialog.filter_radio->setChecked(true);
    QVERIFY(dialog.metadata_check->isEnabled());
    QVERIFY(dialog.DeepOptions().archives && dialog.DeepOptions().metadata);
  }

  void CancelHandsNothingBack() {
    Fixture f;
    NewCatalogDialog dialog(f.prompts, Q(f.root));
    Browse(dialog, Q(f.source));
    dialog.cancel_button->click();
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QVERIFY(dialog.CatalogFile().isEmpty());
  }
};

QTEST_MAIN(NewCatalogDialogTest)
#include "new_catalog_dialog_test.moc"
