// The search dialog: the default scope, the scope kinds and the check of OK.

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeView>

#include "core/prompts.h"
#include "library/ui/library_panel.h"
#include "search/ui/search_dialog.h"
#ifndef LUMIVOR_CLI_PATH
#define LUMIVOR_CLI_PATH ""
#endif
#include "support/scripted_prompts.h"
#include "test_util.h"

using lumivor::ScriptedPrompts;
using lumivor::SearchDialog;
using lumivor::testing::TempDir;
using lumivor::testing::WriteFile;

namespace {
QString Q(const std::string& text) { return QString::fromStdString(text); }
}  // namespace

class SearchDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void ScopesAndTheirKinds() {
    TempDir dir;
    const std::string root = dir / "CatalogLibrary";
    WriteFile(root + "/Mp3/Music.xml", "<fileinfo/>");
    ScriptedPrompts prompts;
    SearchDialog dialog(prompts, Q(root));
    QCOMPARE(dialog.windowTitle(), QString("File Search"));
    QCOMPARE(dialog.ScopePath(), Q(root));  // the whole library by default
    QVERIFY(dialog.ScopeIsDirectory());
    QVERIFY(!dialog.case_sensitive_check->isChecked() && !dialog.whole_words_check->isChecked());
    QVERIFY(dialog.library_panel->SelectNodeByPath(Q(root + "/Mp3")));
    QVERIFY(dialog.ScopeIsDirectory());
    QVERIFY(dialog.library_panel->SelectNodeByPath(Q(root + "/Mp3/Music.xml")));
    QVERIFY(!dialog.ScopeIsDirectory());
    QCOMPARE(dialog.ScopePath(), Q(root + "/Mp3/Music.xml"));
  }

  void OkNeedsACriterionThatIsNotBlank() {
    TempDir dir;
    const std::string root = dir / "CatalogLibrary";
    ScriptedPrompts prompts;
    SearchDialog dialog(prompts, Q(root));
    dialog.name_edit->setText("   ");
    dialog.description_edit->setText("\t");
    dialog.ok_button->click();
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(prompts.shown.size(), std::size_t(1));
    QCOMPARE(prompts.shown[0].text, std::string("Please input search condition."));
    QCOMPARE(prompts.shown[0].caption, std::string("Warning"));
    dialog.extension_edit->setText(" mp3");
    dialog.ok_button->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.extension_edit->text(), QString(" mp3"));  // handed on as typed
  }

  void OkNeedsAFocusedScope() {
    TempDir dir;
    ScriptedPrompts prompts;
    SearchDialog dialog(prompts, Q(dir / "CatalogLibrary"));
    dialog.library_panel->TreeView()->selectionModel()->clearCurrentIndex();
    QCOMPARE(dialog.ScopePath(), QString());
    dialog.name_edit->setText("song");
    dialog.ok_button->click();
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(prompts.shown.back().text, std::string("Please input search condition."));
  }

  void ARegularExpressionMustCompile() {
    TempDir dir;
    ScriptedPrompts prompts;
    SearchDialog dialog(prompts, Q(dir / "CatalogLibrary"));
    QCOMPARE(dialog.regex_check->text(), QString("Regular expression"));
    dialog.name_edit->setText("so(ng");
    dialog.regex_check->setChecked(true);
    dialog.ok_button->click();
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(prompts.shown.back().text,
             std::string("The regular expression is not valid: missing ): so(ng."));
    dialog.name_edit->setText("so(ng)?");
    dialog.ok_button->click();
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
    SearchDialog dialog(prompts, Q(dir / "CatalogLibrary"));
    dialog.name_edit->setText("song");
    dialog.cancel_button->click();
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QVERIFY(prompts.shown.empty());
  }
};

QTEST_MAIN(SearchDialogTest)
#include "search_dialog_test.moc"
