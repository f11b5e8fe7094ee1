// The catalog view's model on its own: texts, hints, icons, sorting and renaming.
#include <QAbstractItemModelTester>
#include <QGuiApplication>
#include <QLocale>
#include <QPalette>
#include <QPersistentModelIndex>
#include <QSignalSpy>
#include <QTest>

#include "catalog/fields.h"
#include "catalog/tree_order.h"
#include "main/ui/catalog_model.h"

using namespace lumivor;

namespace {

CatalogRecord Record(std::string_view name, std::string_view type, std::string_view size = {},
                     std::string_view time = {}, std::string_view path = {}) {
  FieldViews fields{};
  fields[kFileName] = name;
  fields[kFullPath] = path.empty() ? name : path;
  fields[kFileType] = type;
  fields[kFileSize] = size;
  fields[kFileTime] = time;
  return CatalogRecord(fields);
}

std::vector<CatalogColumn> AllColumns() {
  std::vector<CatalogColumn> columns;
  for (int i = 0; i < kFieldCount; ++i) {
    CatalogColumn column;
    column.name = std::string(FieldNames[static_cast<std::size_t>(i)]);
    column.field = i;
    column.read_only = i != kFileName && i != kDescription;
    columns.push_back(column);
  }
  return columns;
}

QStringList Names(const CatalogModel& model, const QModelIndex& parent = {}) {
  QStringList names;
  for (int row = 0; row < model.rowCount(parent); ++row) {
    names << model.index(row, kFileName, parent).data().toString();
  }
  return names;
}

}  // namespace

class CatalogModelTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

  void FurtherAttributesAreColumnsShownSortedAndNeverEdited() {
    CatalogTree tree;
    CatalogTree::Node* top = tree.AddChild(nullptr, Record("/m", "directory"));
    top->SetExtra("VolumeSize", "8000000000");
    const char* durations[] = {"75.0", "", "3725.4", "9.9"};
    const char* names[] = {"b.mp3", "a.txt", "c.mp4", "d.mp3"};
    for (int i = 0; i < 4; ++i) {
      CatalogTree::Node* song = tree.AddChild(top, Record(names[i], "file"));
      if (durations[i][0] != '\0') song->SetExtra("Duration", durations[i]);
    }
    top->children[0]->SetExtra("Title", "Intro");
    CatalogModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    std::vector<CatalogColumn> columns = {ColumnNamed("FileName"), ColumnNamed("Duration"),
                                          ColumnNamed("Title"), ColumnNamed("VolumeSize")};
    QCOMPARE(columns[1].field, -1);
    QCOMPARE(columns[1].attribute, std::string("Duration"));
    QCOMPARE(ColumnNamed("FileSize").field, int(kFileSize));
    QCOMPARE(ColumnNamed("no such=name").field, int(kFileName));     // cannot be an attribute
    for (CatalogColumn& column : columns) column.read_only = false;  // a hand-edited setting
    model.SetColumns(columns);
    model.AdoptTree(std::move(tree));
    const QModelIndex top_index = model.index(0, 0);
    QCOMPARE(model.index(0, 3).data().toString(), QStringLiteral("7.5 GB"));
    QCOMPARE(model.index(0, 1, top_index).data().toString(), QStringLiteral("1:15"));
    QCOMPARE(model.index(1, 1, top_index).data().toString(), QString());  // none: empty cell
    QCOMPARE(model.index(0, 2, top_index).data().toString(), QStringLiteral("Intro"));
    QCOMPARE(model.index(0, 1, top_index).data(Qt::EditRole).toString(), QStringLiteral("75.0"));
    QVERIFY(!(model.index(0, 2, top_index).flags() & Qt::ItemIsEditable));
    QVERIFY(!model.setData(model.index(0, 2, top_index), QStringLiteral("x"), Qt::EditRole));
    QVERIFY(model.index(0, 0, top_index).flags() & Qt::ItemIsEditable);
    // By length: numbers, not texts ("9.9" before "75.0"), records without one first.
    model.SortTree(kFileName, true, "Duration");
    QCOMPARE(Names(model, top_index), QStringList({"a.txt", "d.mp3", "b.mp3", "c.mp4"}));
    model.SortTree(kFileName, false, "Duration");
    QCOMPARE(Names(model, top_index), QStringList({"c.mp4", "b.mp3", "d.mp3", "a.txt"}));
    model.SortTree(kFileName, true);
    QCOMPARE(Names(model, top_index), QStringList({"a.txt", "b.mp3", "c.mp4", "d.mp3"}));
  }

  void FieldTextFormatsSizesAndShares() {
    FieldViews fields{};
    fields[kFileSize] = "1536";
    fields[kSizePercentage] = "12.50";
    CatalogRecord record(fields);
    QCOMPARE(FieldText(kFileSize, &record), QStringLiteral("1.50 KB"));
    QCOMPARE(FieldText(kSizePercentage, &record), QStringLiteral("12.50%"));
    record.SetField(kFileSize, "1048576");
    QCOMPARE(FieldText(kFileSize, &record), QStringLiteral("1,024.00 KB"));
    record.SetField(kFileSize, "0");
    QCOMPARE(FieldText(kFileSize, &record), QStringLiteral("0.00 KB"));
    record.SetField(kFileSize, "");
    record.SetField(kSizePercentage, "");
    QCOMPARE(FieldText(kFileSize, &record), QString());
    QCOMPARE(FieldText(kSizePercentage, &record), QString());
    record.SetField(kFileSize, "12 bytes");
    QCOMPARE(FieldText(kFileSize, &record), QString());
    QCOMPARE(FieldText(kFileName, static_cast<const CatalogRecord*>(nullptr)), QString());
    QCOMPARE(FieldText(kFileName, static_cast<const CatalogTree::Node*>(nullptr)), QString());
    QCOMPARE(FieldText(99, &record), QString());
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    record.SetField(kFileSize, "1048576");
    QCOMPARE(FieldText(kFileSize, &record), QStringLiteral("1.024,00 KB"));
  }

  void CellsShowTextsHintsAndEditability() {
    CatalogModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.SetColumns(AllColumns());
    CatalogTree tree;
    auto* top = tree.AddChild(nullptr, Record("/data", "directory", "2048"));
    tree.AddChild(top, Record("song.mp3", "file", "1536", "2020-01-02 03:04:05", "/data/song.mp3"));
    model.AdoptTree(std::move(tree));
    const QModelIndex top_index = model.index(0, 0);
    const QModelIndex song = model.index(0, kFileName, top_index);
    QCOMPARE(song.data().toString(), QStringLiteral("song.mp3"));
    QCOMPARE(model.index(0, kFileSize, top_index).data().toString(), QStringLiteral("1.50 KB"));
    QCOMPARE(model.index(0, kFileSize, top_index).data(Qt::EditRole).toString(),
             QStringLiteral("1536"));
    QCOMPARE(song.data(Qt::ToolTipRole).toString(),
             QStringLiteral("song.mp3 (Press F2 to edit the file's FileName)"));
    QCOMPARE(model.index(0, kDescription, top_index).data(Qt::ToolTipRole).toString(),
             QStringLiteral(" (Press F2 to edit the file's Description)"));
    QCOMPARE(model.index(0, kFileSize, top_index).data(Qt::ToolTipRole).toString(),
             QStringLiteral("1.50 KB"));
    QVERIFY(song.flags() & Qt::ItemIsEditable);
    QVERIFY(!(model.index(0, kFullPath, top_index).flags() & Qt::ItemIsEditable));
    QCOMPARE(model.index(0, kFullPath, top_index).data(Qt::BackgroundRole).value<QColor>(),
             QColor(239, 243, 255));
    QCOMPARE(model.parent(song), top_index);
    QCOMPARE(model.headerData(kFileSize, Qt::Horizontal, Qt::DisplayRole).toString(),
             QStringLiteral("FileSize"));
    // Icons only in the FileName column.
    QVERIFY(!song.data(Qt::DecorationRole).value<QIcon>().isNull());
    QVERIFY(!model.index(0, kFileSize, top_index).data(Qt::DecorationRole).isValid());
  }

  void IconsAreCachedByExtension() {
    CatalogModel model;
    model.SetColumns(AllColumns());
    CatalogTree tree;
    for (int i = 0; i < 500; ++i) {
      tree.AddChild(nullptr,
                    Record("track" + std::to_string(i) + (i % 2 ? ".mp3" : ".MP3"), "file"));
    }
    tree.AddChild(nullptr, Record("notes.txt", "file"));
    tree.AddChild(nullptr, Record("README", "file"));
    tree.AddChild(nullptr, Record("folder.mp3", "directory"));
    model.AdoptTree(std::move(tree));
    for (int row = 0; row < model.rowCount(); ++row) {
      QVERIFY(!model.index(row, 0).data(Qt::DecorationRole).value<QIcon>().isNull());
    }
    // mp3 (both cases), txt and no extension; the directory shares the folder icon.
    QCOMPARE(model.CachedIcons(), std::size_t{3});
  }

  void ADarkPaletteGetsDarkTintsOfTheSameRoles() {
    CatalogModel model;
    model.SetColumns(AllColumns());
    CatalogTree tree;
    tree.AddChild(nullptr, Record("song.mp3", "file"));
    model.AdoptTree(std::move(tree));
    const QPalette light = QGuiApplication::palette();
    QPalette dark = light;
    dark.setColor(QPalette::Base, QColor(30, 30, 30));
    dark.setColor(QPalette::Text, QColor(230, 230, 230));
    dark.setColor(QPalette::ToolTipBase, QColor(255, 255, 220));  // left light by some themes
    QGuiApplication::setPalette(dark);
    for (const int field : {kFullPath, kDescription}) {
      const QColor background = model.index(0, field).data(Qt::BackgroundRole).value<QColor>();
      // Light text stays readable: the cell is dark, and read-only and editable cells differ.
      QVERIFY2(background.lightness() < 100, qPrintable(background.name()));
      QVERIFY(qAbs(QColor(230, 230, 230).lightness() - background.lightness()) > 120);
    }
    QVERIFY(model.index(0, kFullPath).data(Qt::BackgroundRole) !=
            model.index(0, kDescription).data(Qt::BackgroundRole));
    QGuiApplication::setPalette(light);
    QCOMPARE(model.index(0, kFullPath).data(Qt::BackgroundRole).value<QColor>(),
             QColor(239, 243, 255));
  }

  void TheProgramsOwnIconsStandInForAMissingTheme() {
    Q_INIT_RESOURCE(lumivor);
    for (const char* kind : {"audio-x-generic", "video-x-generic", "image-x-generic",
                             "text-x-generic", "package-x-generic", "x-office-spreadsheet"}) {
      QVERIFY2(!BundledIcon(QString::fromLatin1(kind)).isNull(), kind);
    }
    QVERIFY(BundledIcon(QStringLiteral("no-such-kind")).isNull());
  }

  void SortKeepsDirectoriesFirstInBothDirections() {
    CatalogModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.SetColumns(AllColumns());
    CatalogTree tree;
    tree.AddChild(nullptr, Record("b.txt", "file", "10"));
    tree.AddChild(nullptr, Record("Zeta", "directory", "5"));
    tree.AddChild(nullptr, Record("a.txt", "file", "900"));
    tree.AddChild(nullptr, Record("alpha", " directory ", "7"));
    tree.AddChild(nullptr, Record("C.txt", "file", "100"));
    model.AdoptTree(std::move(tree));
    // Until a sort the file's order stands.
    QCOMPARE(Names(model), (QStringList{"b.txt", "Zeta", "a.txt", "alpha", "C.txt"}));
    model.SortTree(kFileName, true);
    QCOMPARE(Names(model), (QStringList{"alpha", "Zeta", "a.txt", "b.txt", "C.txt"}));
    model.SortTree(kFileName, false);
    QCOMPARE(Names(model), (QStringList{"Zeta", "alpha", "C.txt", "b.txt", "a.txt"}));
    // Sizes by byte count, not by display text ("900" > "100" > "10").
    model.SortTree(kFileSize, true);
    QCOMPARE(Names(model), (QStringList{"Zeta", "alpha", "b.txt", "C.txt", "a.txt"}));
    model.SortTree(kFileSize, false);
    QCOMPARE(Names(model), (QStringList{"alpha", "Zeta", "a.txt", "C.txt", "b.txt"}));
  }

  void SortByTimePutsEmptyFirstAndBrokenLast() {
    CatalogModel model;
    model.SetColumns(AllColumns());
    CatalogTree tree;
    tree.AddChild(nullptr, Record("late", "file", {}, "2021-05-01 10:00:00"));
    tree.AddChild(nullptr, Record("broken", "file", {}, "yesterday"));
    tree.AddChild(nullptr, Record("none", "file", {}, ""));
    tree.AddChild(nullptr, Record("early", "file", {}, "2019-12-31"));
    tree.AddChild(nullptr, Record("same", "file", {}, "2019-12-31"));
    model.AdoptTree(std::move(tree));
    model.SortTree(kFileTime, true);
    // Equal times keep their order: the sort is stable, so a strict order always exists.
    QCOMPARE(Names(model), (QStringList{"none", "early", "same", "late", "broken"}));
    model.SortTree(kFileType, true);  // every FileType compares equal: the order stays
    QCOMPARE(Names(model), (QStringList{"none", "early", "same", "late", "broken"}));
  }

  void SortSortsEveryFolderAndRemapsPersistentIndexes() {
    CatalogModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.SetColumns(AllColumns());
    CatalogTree tree;
    auto* top = tree.AddChild(nullptr, Record("top", "directory"));
    auto* inner = tree.AddChild(top, Record("inner", "directory"));
    tree.AddChild(top, Record("z.txt", "file"));
    tree.AddChild(top, Record("m.txt", "file"));
    tree.AddChild(inner, Record("y", "file"));
    tree.AddChild(inner, Record("x", "file"));
    auto* deep = tree.AddChild(inner, Record("deep", "directory"));
    tree.AddChild(deep, Record("2", "file"));
    tree.AddChild(deep, Record("1", "file"));
    model.AdoptTree(std::move(tree));
    const QModelIndex top_index = model.index(0, 0);
    const QPersistentModelIndex z(model.index(1, kFileSize, top_index));
    QCOMPARE(z.sibling(z.row(), 0).data().toString(), QStringLiteral("z.txt"));
    model.SortTree(kFileName, true);
    QCOMPARE(Names(model, top_index), (QStringList{"inner", "m.txt", "z.txt"}));
    QVERIFY(z.isValid());
    QCOMPARE(z.row(), 2);
    QCOMPARE(z.column(), static_cast<int>(kFileSize));
    QCOMPARE(model.index(z.row(), 0, z.parent()).data().toString(), QStringLiteral("z.txt"));
    // Folders nobody looked at yet are in order when first shown.
    const QModelIndex inner_index = model.index(0, 0, top_index);
    QCOMPARE(Names(model, inner_index), (QStringList{"deep", "x", "y"}));
    QCOMPARE(Names(model, model.index(0, 0, inner_index)), (QStringList{"1", "2"}));
    // Reaching a node by pointer sorts the folders on its way.
    CatalogTree::Node* one_node = deep->children[0];
    QCOMPARE(std::string(one_node->Field(kFileName)), std::string("1"));
    model.SortTree(kFileName, false);
    const QModelIndex one = model.IndexOf(one_node);
    QCOMPARE(one.row(), 1);
    QCOMPARE(one.data().toString(), QStringLiteral("1"));
    QCOMPARE(one.parent().data().toString(), QStringLiteral("deep"));
    QCOMPARE(one.parent().row(), 0);  // directories first also descending
    // The tree handed out for saving is in the order shown, down to the last folder.
    model.SortTree(kFileName, true);
    const CatalogTree& sorted = model.SortedTree();
    QCOMPARE(std::string(sorted.Top()->children[0]->children[0]->children[0]->Field(0)),
             std::string("1"));
  }

  void FoldersHandedOutAreSortedElsewhereAndTakenBackWhenNotReached() {
    // No model tester here: it would open (and so sort) every folder.
    CatalogModel model;
    model.SetColumns(AllColumns());
    CatalogTree tree;
    auto* top = tree.AddChild(nullptr, Record("top", "directory"));
    auto* a = tree.AddChild(top, Record("a", "directory"));
    auto* b = tree.AddChild(top, Record("b", "directory"));
    tree.AddChild(a, Record("a2", "file"));
    tree.AddChild(a, Record("a1", "file"));
    tree.AddChild(b, Record("b2", "file"));
    tree.AddChild(b, Record("b1", "file"));
    model.AdoptTree(std::move(tree));
    QVERIFY(model.HandOutPendingSorts().empty());  // nothing to do before the first sort
    const QModelIndex top_index = model.index(0, 0);
    model.SortTree(kFileName, true);
    QCOMPARE(Names(model, top_index), (QStringList{"a", "b"}));
    // The root and the top were sorted for the view; only the two folders not shown are left.
    std::vector<CatalogTree::Node*> pending = model.HandOutPendingSorts();
    QCOMPARE(pending.size(), std::size_t{2});
    QVERIFY(model.HandOutPendingSorts().empty());  // handed out once
    // The first is sorted (as the worker does), the second not reached: it is taken back, and
    // sorted when first shown.
    QCOMPARE(SortFolders(std::span(pending).first(1), model.Order()), std::size_t{1});
    model.TakeBackUnsorted(std::span(pending).subspan(1));
    const QString sorted_name = QString::fromStdString(pending[0]->Field(kFileName));
    const QString later_name = QString::fromStdString(pending[1]->Field(kFileName));
    QCOMPARE(QString::fromStdString(pending[0]->children[0]->Field(kFileName)), sorted_name + "1");
    QCOMPARE(QString::fromStdString(pending[1]->children[0]->Field(kFileName)), later_name + "2");
    QCOMPARE(Names(model, model.IndexOf(pending[1])),
             (QStringList{later_name + "1", later_name + "2"}));
    QCOMPARE(Names(model, model.IndexOf(pending[0])),
             (QStringList{sorted_name + "1", sorted_name + "2"}));
    // A new order hands out every folder the views are not showing.
    model.SortTree(kFileName, false);
    pending = model.HandOutPendingSorts();
    QCOMPARE(SortFolders(pending, model.Order()), pending.size());
    QCOMPARE(Names(model, model.IndexOf(a)), (QStringList{"a2", "a1"}));
    QCOMPARE(Names(model, model.IndexOf(b)), (QStringList{"b2", "b1"}));
  }

  void EditsAreOfferedAndApplied() {
    CatalogModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.SetColumns(AllColumns());
    CatalogTree tree;
    auto* node = tree.AddChild(nullptr, Record("old", "file"));
    model.AdoptTree(std::move(tree));
    QSignalSpy committed(&model, &CatalogModel::EditCommitted);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    QVERIFY(!model.setData(model.index(0, kFullPath), QStringLiteral("x"), Qt::EditRole));
    QVERIFY(model.setData(model.index(0, kDescription), QStringLiteral("nice"), Qt::EditRole));
    QCOMPARE(committed.count(), 1);
    QCOMPARE(committed[0][1].toInt(), static_cast<int>(kDescription));
    QCOMPARE(changed.count(), 0);  // the window decides; nothing is stored yet
    model.ApplyEdit(node, kDescription, "nice");
    QCOMPARE(std::string(node->Field(kDescription)), std::string("nice"));
    QCOMPARE(std::string(node->Field(kFileNameLength)), std::string("3"));
    QCOMPARE(changed.count(), 1);
  }

  void ARenameTellsTheViewsOfThePathsBelow() {
    CatalogTree tree;
    auto* top = tree.AddChild(nullptr, Record("/mnt/Data", "directory", {}, {}, "/mnt/Data"));
    auto* a = tree.AddChild(top, Record("a.txt", "file", {}, {}, "/mnt/Data/a.txt"));
    CatalogModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.SetColumns(AllColumns());
    model.AdoptTree(std::move(tree));
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    model.ApplyEdit(top, kFileName, "/mnt/Archive");
    QCOMPARE(std::string(a->Field(kFullPath)), std::string("/mnt/Archive/a.txt"));
    QCOMPARE(changed.count(), 2);  // the row itself, then the rows below it
    QCOMPARE(changed[1][0].value<QModelIndex>(), model.IndexOf(a, 0));
    QCOMPARE(model.IndexOf(a, kFullPath).data().toString(), QStringLiteral("/mnt/Archive/a.txt"));
  }

  void AppendAndClearKeepTheModelConsistent() {
    CatalogModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.SetColumns(AllColumns());
    CatalogTree first, second;
    first.AddChild(nullptr, Record("one", "file"));
    second.AddChild(nullptr, Record("two", "file"));
    second.AddChild(nullptr, Record("three", "file"));
    model.AppendTree(std::move(first));
    model.AppendTree(std::move(second));
    QCOMPARE(Names(model), (QStringList{"one", "two", "three"}));
    QVERIFY(second.Empty());
    model.Clear();
    QCOMPARE(model.rowCount(), 0);
  }
};

QTEST_MAIN(CatalogModelTest)
#include "catalog_model_test.moc"
