// The export dialog: its two sources and the OK-button rule, the column defaults saved on every
// OK, the suggested name, the separator, and what is said when the file dialog is cancelled or the
// catalog cannot be read.

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTreeView>

#include "catalog/catalog_file.h"
#include "catalog/catalog_tree.h"
#include "config/config.h"
#include "core/prompts.h"
#include "export/ui/export_dialog.h"
#include "library/ui/library_panel.h"
#include "support/recording_progress.h"
#ifndef LUMIVOR_CLI_PATH
#define LUMIVOR_CLI_PATH ""
#endif
#include "support/scripted_prompts.h"
#include "test_util.h"

using lumivor::CatalogTree;
using lumivor::Configuration;
using lumivor::ExportDialog;
using lumivor::Prompts;
using lumivor::ScriptedPrompts;
using lumivor::testing::ReadFile;
using lumivor::testing::TempDir;
using lumivor::testing::WriteFile;

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

// Scripted answers that also keep the name each file dialog proposed.
class RecordingPrompts final : public Prompts {
 public:
  std::string ChooseOpenFile(std::string_view a, std::string_view b, std::string_view c) override {
    return script.ChooseOpenFile(a, b, c);
  }
  std::string ChooseSaveFile(std::string_view a, std::string_view b, std::string_view c) override {
    proposed.emplace_back(c);
    return script.ChooseSaveFile(a, b, c);
  }
  void ShowMessage(std::string_view caption, std::string_view text,
                   lumivor::MessageIcon icon) override {
    script.ShowMessage(caption, text, icon);
  }
  bool AskYesNo(std::string_view caption, std::string_view text,
                lumivor::MessageIcon icon) override {
    return script.AskYesNo(caption, text, icon);
  }
  ScriptedPrompts script;
  std::vector<std::string> proposed;
};

constexpr const char* kCatalogText =
    "<fileinfo><file FileName=\"Disc\" FullPath=\"Disc\" FileType=\"directory\">"
    "<file FileName=\"song.mp3\" FullPath=\"Disc/song.mp3\" FileSize=\"10\" FileExt=\"mp3\" "
    "FileType=\"file\"/></file></fileinfo>";

struct Fixture {
  TempDir dir;
  std::string root = dir / "CatalogLibrary";
  std::string catalog = root + "/Mp3/My.Best.xml";
  Configuration config{dir.Path()};
  RecordingPrompts prompts;
  lumivor::NullProgress progress;
  CatalogTree screen;

  Fixture() {
    WriteFile(catalog, kCatalogText);
    CatalogTree::Node* top = screen.AddChild(nullptr);
    top->SetField(lumivor::kFileName, "Screen, top");
    top->SetField(lumivor::kFileType, "directory");
  }

  std::unique_ptr<ExportDialog> Open(const std::string& preset = {}) {
    return std::make_unique<ExportDialog>(config, prompts, progress, Q(root), screen, Q(preset));
  }
  std::string Messages() const {
    std::string out;
    for (const auto& shown : prompts.script.shown) out += shown.caption + "|" + shown.text + ";";
    return out;
  }
};

}  // namespace

class ExportDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void FromTheMainWindowTheScreenIsTheSource() {
    Fixture f;
    auto dialog = f.Open();
    QCOMPARE(dialog->windowTitle(), QString("Export Catalog"));
    QVERIFY(dialog->screen_radio->isChecked());
    QVERIFY(!dialog->library_panel->isEnabled());
    QVERIFY(dialog->ok_button->isEnabled());
    QVERIFY(dialog->html_radio->isChecked());
    QCOMPARE(dialog->separator_edit->text(), QString(","));
    QCOMPARE(dialog->column_list->count(), 11);
  }

  void APresetCatalogIsSelectedAndOkFollowsTheFocus() {
    Fixture f;
    auto dialog = f.Open(f.catalog);
    QVERIFY(dialog->catalog_radio->isChecked());
    QVERIFY(dialog->library_panel->isEnabled());
    QCOMPARE(dialog->library_panel->SelectedPath(), Q(f.catalog));
    QVERIFY(dialog->ok_button->isEnabled());
    QVERIFY(dialog->library_panel->SelectNodeByPath(Q(f.root + "/Mp3")));
    QVERIFY(!dialog->ok_button->isEnabled());
    // Reached anyway, OK stores the defaults and stays open.
    dialog->column_list->item(0)->setCheckState(Qt::Unchecked);
    dialog->OnOkClicked();
    QCOMPARE(dialog->result(), int(QDialog::Rejected));
    QVERIFY(!Configuration(f.dir.Path()).Root().nodes().Node(0).DefaultExport());
    QVERIFY(f.prompts.script.shown.empty());
    QVERIFY(dialog->library_panel->SelectNodeByPath(Q(f.catalog)));
    QVERIFY(dialog->ok_button->isEnabled());
    dialog->screen_radio->setChecked(true);
    QVERIFY(!dialog->library_panel->isEnabled());
  }

  void UntickedColumnsStayUntickedAfterAnExport() {
    Fixture f;
    const std::string out = f.dir / "out.htm";
    {
      auto dialog = f.Open(f.catalog);
      for (int i = 0; i < dialog->column_list->count(); ++i) {
        dialog->column_list->item(i)->setCheckState(Qt::Unchecked);
      }
      f.prompts.script.file_answers = {out};
      dialog->ok_button->click();
      QCOMPARE(dialog->result(), int(QDialog::Accepted));
    }
    QCOMPARE(f.Messages(), std::string("Done|Export Finished;"));
    QCOMPARE(f.prompts.proposed, std::vector<std::string>({"My"}));  // cut at the first dot
    QVERIFY(ReadFile(out).find("<BODY>") != std::string::npos ||
            ReadFile(out).find("<body>") != std::string::npos);
    auto again = f.Open();
    for (int i = 0; i < again->column_list->count(); ++i) {
      QCOMPARE(again->column_list->item(i)->checkState(), Qt::Unchecked);
    }
  }

  void CancelStoresNothing() {
    Fixture f;
    const std::string before = ReadFile(f.config.ConfigFilePath());
    auto dialog = f.Open();
    dialog->column_list->item(0)->setCheckState(Qt::Unchecked);
    dialog->cancel_button->click();
    QCOMPARE(dialog->result(), int(QDialog::Rejected));
    QCOMPARE(ReadFile(f.config.ConfigFilePath()), before);
    QVERIFY(f.config.Root().nodes().Node(0).DefaultExport());
  }

  void AnEmptyViewIsNotExportedAndTheScreenIsSuggestedByItsName() {
    Fixture f;
    const CatalogTree empty;
    const std::string out = f.dir / "empty.csv";
    {
      ExportDialog dialog(f.config, f.prompts, f.progress, Q(f.root), empty, QString());
      dialog.csv_radio->setChecked(true);
      f.prompts.script.file_answers = {out};
      dialog.ok_button->click();
      // Told why, never asked for a file, and the dialog stays open for another choice.
      QCOMPARE(f.Messages(),
               std::string("Warning|There is nothing to export: the view shows no records.;"));
      QVERIFY(f.prompts.proposed.empty());
      QCOMPARE(dialog.result(), int(QDialog::Rejected));
      QVERIFY(!std::filesystem::exists(out));
    }
    auto dialog = f.Open();
    dialog->screen_name = QStringLiteral("Music");
    dialog->csv_radio->setChecked(true);
    dialog->ok_button->click();  // the file dialog is cancelled
    QCOMPARE(f.prompts.proposed, std::vector<std::string>({"Music"}));
  }

  void CsvFromTheScreenWithTheDefaultSeparator() {
    Fixture f;
    const std::string out = f.dir / "screen.csv";
    auto dialog = f.Open();
    for (int i = 1; i < dialog->column_list->count(); ++i) {
      dialog->column_list->item(i)->setCheckState(Qt::Unchecked);
    }
    dialog->csv_radio->setChecked(true);
    dialog->separator_edit->clear();
    f.prompts.script.file_answers = {out};
    dialog->ok_button->click();
    QCOMPARE(f.prompts.proposed, std::vector<std::string>({""}));  // no name for the screen
    const std::string csv = ReadFile(out);
    QVERIFY2(csv.find("FileName,") == 0, csv.c_str());
    QVERIFY2(csv.find("\"Screen, top\"") != std::string::npos, csv.c_str());
    QCOMPARE(f.Messages(), std::string("Done|Export Finished;"));
  }

  void TextFromACatalogUsesFourBlanks() {
    Fixture f;
    const std::string out = f.dir / "out.txt";
    auto dialog = f.Open(f.catalog);
    for (int i = 0; i < dialog->column_list->count(); ++i) {
      dialog->column_list->item(i)->setCheckState(i == 0 || i == 4 ? Qt::Checked : Qt::Unchecked);
    }
    dialog->text_radio->setChecked(true);
    f.prompts.script.file_answers = {out};
    dialog->ok_button->click();
    QVERIFY2(ReadFile(out).find("song.mp3    mp3") != std::string::npos, ReadFile(out).c_str());
  }

  void ACancelledFileDialogDoesNotFinish() {
    Fixture f;
    auto dialog = f.Open(f.catalog);
    dialog->xml_radio->setChecked(true);
    dialog->ok_button->click();  // no file answer: cancelled
    QCOMPARE(f.Messages(), std::string());
    QCOMPARE(dialog->result(), int(QDialog::Accepted));
  }

  void ACancelledExportSaysNothingAndLeavesNoFile() {
    Fixture f;
    for (int i = 0; i < 3000; ++i) {
      f.screen.AddChild(nullptr)->SetField(lumivor::kFileName, "r" + std::to_string(i));
    }
    lumivor::RecordingProgress progress;
    auto dialog = std::make_unique<ExportDialog>(f.config, f.prompts, progress, Q(f.root), f.screen,
                                                 QString());
    // Cancel pressed as soon as the export runs.
    dialog->run_work = [&](const ExportDialog::ExportWork& work) {
      progress.stop.request_stop();
      work(progress, f.prompts, progress.Token());
    };
    dialog->csv_radio->setChecked(true);
    f.prompts.script.file_answers = {f.dir / "cancelled.csv"};
    dialog->ok_button->click();
    QCOMPARE(f.Messages(), std::string());
    QVERIFY(!std::filesystem::exists(f.dir / "cancelled.csv"));
    QVERIFY(!progress.visible);
  }

  void AnXmlExportOfACatalogKeepsItsRecords() {
    Fixture f;
    const std::string out = f.dir / "copy.xml";
    auto dialog = f.Open(f.catalog);
    dialog->xml_radio->setChecked(true);
    f.prompts.script.file_answers = {out};
    dialog->ok_button->click();
    QCOMPARE(f.Messages(), std::string("Done|Export Finished;"));
    const CatalogTree copy = lumivor::LoadCatalog(out);
    QCOMPARE(copy.Size(), std::size_t(2));
    QCOMPARE(std::string(copy.Top()->children[0]->Field(lumivor::kFileName)),
             std::string("song.mp3"));
  }

  void AnUnreadableCatalogIsReportedNotFinished() {
    Fixture f;
    WriteFile(f.catalog, "<fileinfo><file");
    auto dialog = f.Open(f.catalog);
    f.prompts.script.file_answers = {f.dir / "never.htm"};
    dialog->ok_button->click();
    QCOMPARE(f.prompts.script.shown.size(), std::size_t(1));
    QCOMPARE(f.prompts.script.shown[0].caption, std::string("Error"));
    QVERIFY(f.prompts.script.shown[0].text.find("My.Best.xml") != std::string::npos);
    QVERIFY(!std::filesystem::exists(f.dir / "never.htm"));
  }
};

QTEST_MAIN(ExportDialogTest)
#include "export_dialog_test.moc"
