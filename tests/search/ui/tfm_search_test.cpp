// The search dialog: the default scope, the scope kinds and the check of OK.

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeView>

#include "core/prompts.h"
#include "library/ui/frm_cat_tree.h"
#include "search/ui/tfm_search.h"
#ifndef LUMIVOR_CLI_PATH
#define LUMIVOR_CLI_PATH ""
#endif
#include "test_util.h"

using lumivor::ScriptedPrompts;
using lumivor::TFMSearch;
using lumivor::testing::TempDir;
using lumivor::testing::WriteFile;

namespace {
QString Q(const std::string& text) { return QString::fromStdString(text); }
}  // namespace

class TFMSearchTest : public QObject {
  Q_OBJECT

 private slots:
  void ScopesAndTheirKinds() {
    TempDir dir;
    const std::string root = dir / "CatalogLibrary";
    WriteFile(root + "/Mp3/Music.xml", "<fileinfo/>");
    ScriptedPrompts prompts;
    TFMSearch dialog(prompts, Q(root));
    QCOMPARE(dialog.windowTitle(), QString("File Search"));
    QCOMPARE(dialog.ScopePath(), Q(root));  // the whole library by default
    QVERIFY(dialog.ScopeIsDirectory());
    QVERIFY(!dialog.CheckBox1->isChecked() && !dialog.CheckBox2->isChecked());
    QVERIFY(dialog.FrmCatTree->SelectNodeByPath(Q(root + "/Mp3")));
    QVERIFY(dialog.ScopeIsDirectory());
    QVERIFY(dialog.FrmCatTree->SelectNodeByPath(Q(root + "/Mp3/Music.xml")));
    QVERIFY(!dialog.ScopeIsDirectory());
    QCOMPARE(dialog.ScopePath(), Q(root + "/Mp3/Music.xml"));
  }

  void OkNeedsACriterionThatIsNotBlank() {
    TempDir dir;
    const std::string root = dir / "CatalogLibrary";
    ScriptedPrompts prompts;
    TFMSearch dialog(prompts, Q(root));
    dialog.EdFileName->setText("   ");
    dialog.EdDes->setText("\t");
    dialog.BitBtn1->click();
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(prompts.shown.size(), std::size_t(1));
    QCOMPARE(prompts.shown[0].text, std::string("Please input search condition."));
    QCOMPARE(prompts.shown[0].caption, std::string("Warning"));
    dialog.EdExt->setText(" mp3");
    dialog.BitBtn1->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.EdExt->text(), QString(" mp3"));  // handed on as typed
  }

  void OkNeedsAFocusedScope() {
    TempDir dir;
    ScriptedPrompts prompts;
    TFMSearch dialog(prompts, Q(dir / "CatalogLibrary"));
    dialog.FrmCatTree->VTLib()->selectionModel()->clearCurrentIndex();
    QCOMPARE(dialog.ScopePath(), QString());
    dialog.EdFileName->setText("song");
    dialog.BitBtn1->click();
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(prompts.shown.back().text, std::string("Please input search condition."));
  }

  void ARegularExpressionMustCompile() {
    TempDir dir;
    ScriptedPrompts prompts;
    TFMSearch dialog(prompts, Q(dir / "CatalogLibrary"));
    QCOMPARE(dialog.CheckRegex->text(), QString("Regular expression"));
    dialog.EdFileName->setText("so(ng");
    dialog.CheckRegex->setChecked(true);
    dialog.BitBtn1->click();
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(prompts.shown.back().text,
             std::string("The regular expression is not valid: missing ): so(ng."));
    dialog.EdFileName->setText("so(ng)?");
    dialog.BitBtn1->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    const lumivor::SearchCriteria criteria = dialog.Criteria();
    QCOMPARE(criteria.regex, std::string("so(ng)?"));
    QCOMPARE(criteria.name, std::string());
    QCOMPARE(criteria.scope_path, dir / "CatalogLibrary");
    QVERIFY(criteria.scope_is_directory);
  }

  void CancelCloses() {
    TempDir dir;
    ScriptedPrompts prompts;
    TFMSearch dialog(prompts, Q(dir / "CatalogLibrary"));
    dialog.EdFileName->setText("song");
    dialog.BitBtn2->click();
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QVERIFY(prompts.shown.empty());
  }
};

QTEST_MAIN(TFMSearchTest)
#include "tfm_search_test.moc"
