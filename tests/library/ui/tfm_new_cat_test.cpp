// The new-catalog dialog: the browser, the default name, the checks of OK, the extension list and
// the filter text handed to the scan.

#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTest>
#include <QTreeView>
#include <filesystem>

#include "core/prompts.h"
#include "library/ui/frm_cat_tree.h"
#include "library/ui/tfm_new_cat.h"
#ifndef LUMIVOR_CLI_PATH
#define LUMIVOR_CLI_PATH ""
#endif
#include "test_util.h"

using lumivor::ScriptedPrompts;
using lumivor::TFMNewCat;
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

void Browse(TFMNewCat& dialog, const QString& answer, QString* asked = nullptr) {
  dialog.browse_folder = [answer, asked](const QString& start) {
    if (asked != nullptr) *asked = start;
    return answer;
  };
  dialog.SpeedButton1->click();
}

void AddExtension(TFMNewCat& dialog, const QString& text) {
  dialog.EdExt->setText(text);
  QTest::keyClick(dialog.EdExt, Qt::Key_Return);
}

QStringList Entries(const TFMNewCat& dialog) {
  QStringList entries;
  for (int row = 0; row < dialog.LBExt->count(); ++row) entries << dialog.LBExt->item(row)->text();
  return entries;
}

}  // namespace

class TFMNewCatTest : public QObject {
  Q_OBJECT

 private slots:
  void StartsCompactWithOkDisabledAndOnlyGroups() {
    Fixture f;
    TFMNewCat dialog(f.prompts, Q(f.root));
    QCOMPARE(dialog.windowTitle(), QString("Create a new Catalog"));
    QVERIFY(!dialog.BtnOk->isEnabled());
    QVERIFY(dialog.Panel2->isHidden());
    QVERIFY(dialog.RBFile->isChecked());
    QVERIFY(!dialog.EdExt->isEnabled());
    QCOMPARE(dialog.FrmCatTree->SelectedPath(), Q(f.root));
    QVERIFY(!dialog.FrmCatTree->SelectNodeByPath(Q(f.root + "/Mp3/catalog.xml")));
    QVERIFY(dialog.FrmCatTree->SelectNodeByPath(Q(f.root + "/Mp3/Old")));
  }

  void BrowsingProposesTheNameAndPreselectsThePreviousChoice() {
    Fixture f;
    TFMNewCat dialog(f.prompts, Q(f.root));
    QString asked = "unset";
    Browse(dialog, Q(f.source), &asked);
    QCOMPARE(asked, QString());
    QCOMPARE(dialog.EdFileName->text(), Q(f.source));
    QCOMPARE(dialog.EdName->text(), QString("my"));
    QVERIFY(dialog.BtnOk->isEnabled());
    // Cancelling the next browse keeps the choice and resets the typed name.
    dialog.EdName->setText("typed");
    Browse(dialog, QString(), &asked);
    QCOMPARE(asked, Q(f.source));
    QCOMPARE(dialog.SourcePath(), Q(f.source));
    QCOMPARE(dialog.EdName->text(), QString("my"));
  }

  void OkChecksItsInputInOrder() {
    Fixture f;
    TFMNewCat dialog(f.prompts, Q(f.root));
    Browse(dialog, QString());  // a cancelled first browse still enables OK
    QVERIFY(dialog.BtnOk->isEnabled());
    QCOMPARE(dialog.EdName->text(), QString());
    dialog.BtnOk->click();
    QCOMPARE(f.prompts.shown.back().text,
             std::string("Please select the dialog to catalog first."));
    QCOMPARE(f.prompts.shown.back().caption, std::string("Warning"));
    dialog.EdFileName->setText(Q(f.source));
    dialog.BtnOk->click();
    QCOMPARE(f.prompts.shown.back().text, std::string("Please input the catalog name."));
    for (const char* bad : {".", "..", "a/b", ".hidden"}) {
      dialog.EdName->setText(bad);
      dialog.BtnOk->click();
      QCOMPARE(f.prompts.shown.back().text, std::string("Invalid name."));
      QCOMPARE(f.prompts.shown.back().caption, std::string("Warning"));
    }
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QVERIFY(dialog.CatalogFile().isEmpty());

    dialog.EdName->setText("Backup.xml");
    dialog.BtnOk->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.CatalogFile(), Q(f.root + "/Backup.xml.xml"));
    QVERIFY(!dialog.OnlyFolders());
  }

  void ANameTooLongForAFileIsRefusedBeforeTheScan() {
    Fixture f;
    TFMNewCat dialog(f.prompts, Q(f.root));
    Browse(dialog, Q(f.source));
    // Bytes count: 126 two-byte letters make 252 bytes, one more than a catalog name can have.
    for (const QString& name : {QString(252, QLatin1Char('n')), QString(126, QChar(0xE9))}) {
      dialog.EdName->setText(name);
      dialog.BtnOk->click();
      QCOMPARE(f.prompts.shown.back().text,
               std::string("The catalog name is too long: its file name (with \".xml\") may have "
                           "at most 255 bytes."));
      QCOMPARE(dialog.result(), int(QDialog::Rejected));
    }
    dialog.EdName->setText(QString(251, QLatin1Char('n')));
    dialog.BtnOk->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
  }

  void TheSelectedGroupAndTheOverwriteQuestion() {
    Fixture f;
    TFMNewCat dialog(f.prompts, Q(f.root));
    Browse(dialog, Q(f.source));
    dialog.SpeedButton4->click();
    QVERIFY(dialog.FrmCatTree->SelectNodeByPath(Q(f.root + "/Mp3")));
    dialog.EdName->setText("catalog");
    dialog.rbFolder->setChecked(true);
    f.prompts.yes_no_answers = {false};
    dialog.BtnOk->click();
    QCOMPARE(f.prompts.shown.back().text,
             std::string("Catalog with the same name already exists,overwrite?"));
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(dialog.EdName->text(), QString("catalog"));  // input kept
    f.prompts.yes_no_answers = {true};
    dialog.BtnOk->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.CatalogFile(), Q(f.root + "/Mp3/catalog.xml"));
    QVERIFY(dialog.OnlyFolders());
    QCOMPARE(dialog.GetExtFilter(), QString());
  }

  void ExtensionListRulesAndFilterText() {
    Fixture f;
    TFMNewCat dialog(f.prompts, Q(f.root));
    dialog.rbFilter->setChecked(true);
    QVERIFY(dialog.EdExt->isEnabled());
    QVERIFY(!dialog.BtnAdd->isEnabled());        // empty box
    QCOMPARE(dialog.GetExtFilter(), QString());  // filter with an empty list takes all files
    // However it is typed, an extension is listed once as "*." and its lower-case name, and the
    // box is emptied for the next one.
    for (const char* typed : {"h", ".h", "*.h", "*.H"}) {
      AddExtension(dialog, typed);
      QCOMPARE(dialog.EdExt->text(), QString());
    }
    AddExtension(dialog, "Doc");
    AddExtension(dialog, " mp3 ");
    QCOMPARE(Entries(dialog), QStringList({"*.h", "*.doc", "*.mp3"}));
    QCOMPARE(dialog.result(), int(QDialog::Rejected));  // Enter did not press OK
    QCOMPARE(dialog.GetExtFilter(), QString("\\.H\\.DOC\\.MP3\\"));
    QVERIFY(f.prompts.shown.empty());
    // What names no extension is refused and left in the box to be mended; an empty box adds
    // nothing and says nothing.
    for (const char* bad : {"*.*", "tar.gz", "a/b"}) {
      AddExtension(dialog, bad);
      QCOMPARE(f.prompts.shown.back().caption, std::string("Warning"));
      QCOMPARE(dialog.EdExt->text(), QString(bad));
    }
    const std::size_t refusals = f.prompts.shown.size();
    AddExtension(dialog, "");
    QCOMPARE(f.prompts.shown.size(), refusals);
    QCOMPARE(Entries(dialog), QStringList({"*.h", "*.doc", "*.mp3"}));

    // Deleting the selected entries.
    QVERIFY(!dialog.BtnDel->isEnabled());
    dialog.LBExt->setCurrentRow(1);
    QVERIFY(dialog.BtnDel->isEnabled());
    dialog.LBExt->item(2)->setSelected(true);
    dialog.BtnDel->click();
    QCOMPARE(Entries(dialog), QStringList({"*.h"}));
    dialog.RBFile->setChecked(true);
    QCOMPARE(dialog.GetExtFilter(), QString());
    QVERIFY(!dialog.LBExt->isEnabled());
  }

  void AdvancedToggleKeepsTheBottomEdge() {
    Fixture f;
    TFMNewCat dialog(f.prompts, Q(f.root));
    dialog.move(100, 420);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const QRect compact = dialog.geometry();
    dialog.SpeedButton4->click();
    QVERIFY(dialog.Panel2->isVisible());
    const QRect expanded = dialog.geometry();
    QVERIFY(expanded.height() > compact.height() + 200);
    QCOMPARE(expanded.bottom(), compact.bottom());
    dialog.SpeedButton4->click();
    QCOMPARE(dialog.geometry(), compact);

    // Near the top of the screen the window grows downwards instead of leaving the screen.
    dialog.move(100, dialog.screen()->availableGeometry().top() + 10);
    const QRect high = dialog.geometry();
    dialog.SpeedButton4->click();
    QVERIFY(dialog.frameGeometry().top() >= dialog.screen()->availableGeometry().top());
    dialog.SpeedButton4->click();
    QCOMPARE(dialog.geometry(), high);
  }

  void DeepScanBoxesStartOffAndAreIgnoredForOnlyFolders() {
    Fixture f;
    TFMNewCat dialog(f.prompts, Q(f.root));
    QCOMPARE(dialog.CBArchives->text(), QString("Look inside archives"));
    QCOMPARE(dialog.CBMetadata->text(), QString("Read music, photo and video tags"));
    QVERIFY(!dialog.DeepOptions().archives && !dialog.DeepOptions().metadata);

    dialog.SetDeepOptions({false, true});
    QVERIFY(!dialog.CBArchives->isChecked());
    QVERIFY(dialog.CBMetadata->isChecked());
    dialog.CBArchives->click();
    QVERIFY(dialog.DeepOptions().archives && dialog.DeepOptions().metadata);

    // "Only Folders" records no files: nothing to look into, whatever the boxes say.
    dialog.rbFolder->setChecked(true);
    QVERIFY(!dialog.CBArchives->isEnabled());
    QVERIFY(!dialog.DeepOptions().archives && !dialog.DeepOptions().metadata);
    dialog.rbFilter->setChecked(true);
    QVERIFY(dialog.CBMetadata->isEnabled());
    QVERIFY(dialog.DeepOptions().archives && dialog.DeepOptions().metadata);
  }

  void CancelHandsNothingBack() {
    Fixture f;
    TFMNewCat dialog(f.prompts, Q(f.root));
    Browse(dialog, Q(f.source));
    dialog.SpeedButton3->click();
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QVERIFY(dialog.CatalogFile().isEmpty());
  }
};

QTEST_MAIN(TFMNewCatTest)
#include "tfm_new_cat_test.moc"
