// The visible-columns dialog: the items, OK writing the Visible flags to the file, and Cancel or
// the close box leaving everything as it was.

#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <filesystem>

#include "config/config.h"
#include "config/ui/visible_columns_dialog.h"
#include "core/prompts.h"
#ifndef LUMIVOR_CLI_PATH
#define LUMIVOR_CLI_PATH ""
#endif
#include "support/scripted_prompts.h"
#include "test_util.h"

using lumivor::Configuration;
using lumivor::ScriptedPrompts;
using lumivor::VisibleColumnsDialog;
using lumivor::testing::ReadFile;
using lumivor::testing::TempDir;

namespace {

QStringList Unticked(const QListWidget& list) {
  QStringList names;
  for (int i = 0; i < list.count(); ++i) {
    if (list.item(i)->checkState() != Qt::Checked) names << list.item(i)->text();
  }
  return names;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

}  // namespace

class VisibleColumnsDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void ListsEveryRowByFieldName() {
    TempDir dir;
    Configuration config(dir.Path());
    ScriptedPrompts prompts;
    VisibleColumnsDialog dialog(config, prompts);
    QCOMPARE(dialog.windowTitle(), QString("Config visible columns"));
    QCOMPARE(dialog.column_list->count(), 11);
    QCOMPARE(dialog.column_list->item(9)->text(), QString("SizePercentage"));
    QCOMPARE(Unticked(*dialog.column_list),
             QStringList({"FileType", "FileNameLength", "PathNameLength", "SizePercentage"}));
  }

  void TheAttributeColumnsFollowTheElevenFields() {
    TempDir dir;
    Configuration config(dir.Path());
    lumivor::AddAttributeColumns(config);
    ScriptedPrompts prompts;
    VisibleColumnsDialog dialog(config, prompts);
    QCOMPARE(dialog.column_list->item(10)->text(), QString("CatalogName"));
    QCOMPARE(dialog.column_list->item(11)->text(), QString("Title"));
    QCOMPARE(dialog.column_list->item(dialog.column_list->count() - 1)->text(),
             QString("ReadError"));
    QCOMPARE(dialog.column_list->item(11)->checkState(), Qt::Unchecked);
    // Ticked and confirmed, it is saved like any column.
    dialog.column_list->item(11)->setCheckState(Qt::Checked);
    dialog.ok_button->click();
    QVERIFY(ReadFile(dir / "LumivorConfig.xml").find("Name=\"Title\" Visible=\"True\"") !=
            std::string::npos);
  }

  void OkSavesTheTicks() {
    TempDir dir;
    Configuration config(dir.Path());
    ScriptedPrompts prompts;
    VisibleColumnsDialog dialog(config, prompts);
    for (int i = 0; i < dialog.column_list->count(); ++i) {
      dialog.column_list->item(i)->setCheckState(Qt::Unchecked);
    }
    dialog.ok_button->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    const std::string saved = ReadFile(config.ConfigFilePath());
    QCOMPARE(Count(saved, "Visible=\"False\""), std::size_t(11));
    QCOMPARE(Count(saved, "Visible=\"True\""), std::size_t(0));
    Configuration reread(dir.Path());
    QVERIFY(!reread.Root().nodes().Node(0).Visible());
  }

  void CancelAndCloseBoxChangeNothing() {
    TempDir dir;
    Configuration config(dir.Path());
    const std::string before = ReadFile(config.ConfigFilePath());
    ScriptedPrompts prompts;
    {
      VisibleColumnsDialog dialog(config, prompts);
      dialog.column_list->item(0)->setCheckState(Qt::Unchecked);
      dialog.cancel_button->click();
      QCOMPARE(dialog.result(), int(QDialog::Rejected));
    }
    {
      VisibleColumnsDialog dialog(config, prompts);
      dialog.show();
      dialog.column_list->item(1)->setCheckState(Qt::Unchecked);
      dialog.close();
      QCOMPARE(dialog.result(), int(QDialog::Rejected));
    }
    QVERIFY(config.Root().nodes().Node(0).Visible());
    QVERIFY(config.Root().nodes().Node(1).Visible());
    QCOMPARE(ReadFile(config.ConfigFilePath()), before);
  }

  void AFailedSaveKeepsTheDialogOpen() {
    TempDir dir;
    Configuration config(dir.Path());
    ScriptedPrompts prompts;
    VisibleColumnsDialog dialog(config, prompts);
    // A directory where the file should go makes the save fail.
    std::filesystem::remove(config.ConfigFilePath());
    std::filesystem::create_directories(config.ConfigFilePath() + "/blocker");
    dialog.column_list->item(0)->setCheckState(Qt::Unchecked);
    dialog.ok_button->click();
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(prompts.shown.size(), std::size_t(1));
    QCOMPARE(prompts.shown[0].caption, std::string("Error"));
  }
};

QTEST_MAIN(VisibleColumnsDialogTest)
#include "visible_columns_dialog_test.moc"
