// The library tree panel: cell texts, the sort rules, the header click rule and selection by path.

#include <QAbstractItemModelTester>
#include <QHeaderView>
#include <QLocale>
#include <QSignalSpy>
#include <QTest>
#include <filesystem>

#include "catalog/fields.h"
#include "library/ui/library_panel.h"
#ifndef LUMIVOR_CLI_PATH
#define LUMIVOR_CLI_PATH ""
#endif
#include "test_util.h"

using lumivor::CatalogRecord;
using lumivor::CatalogTree;
using lumivor::FieldViews;
using lumivor::LibraryPanel;
using lumivor::LibraryTreeModel;

namespace {

CatalogTree::Node* Add(CatalogTree& tree, CatalogTree::Node* parent, const char* name,
                       const char* type, const char* size = "", const char* time = "") {
  FieldViews fields{};
  fields[lumivor::kFileName] = name;
  fields[lumivor::kFullPath] =
      parent == nullptr ? std::string_view("/lib") : std::string_view(name);
  fields[lumivor::kFileType] = type;
  fields[lumivor::kFileSize] = size;
  fields[lumivor::kFileTime] = time;
  return tree.AddChild(parent, CatalogRecord(fields));
}

// Root with the sub-groups z and Y and the catalogs b and A, in that listing order.
CatalogTree MixedGroup() {
  CatalogTree tree;
  CatalogTree::Node* root = Add(tree, nullptr, "CatalogLibrary", "directory", "5000");
  Add(tree, root, "b", "file", "3000", "2020-01-02 10:00:00");
  Add(tree, root, "z", "directory", "0", "2019-05-01");
  Add(tree, root, "A", "file", "2000", "");
  Add(tree, root, "Y", "directory", "0", "2021-03-04 08:00:00");
  return tree;
}

QStringList Names(const LibraryTreeModel& model, const QModelIndex& parent) {
  QStringList names;
  for (int row = 0; row < model.rowCount(parent); ++row) {
    names << model.index(row, 0, parent).data().toString();
  }
  return names;
}

}  // namespace

class FrmCatTreeTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

  void SizeCellsShowOnlyForCatalogs() {
    LibraryTreeModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    CatalogTree tree;
    CatalogTree::Node* root = Add(tree, nullptr, "CatalogLibrary", "directory", "2001536");
    Add(tree, root, "small", "file", "1536");
    Add(tree, root, "big", "file", "2000000");
    Add(tree, root, "empty", "file", "0");
    Add(tree, root, "group", "directory", "4096");
    Add(tree, root, "broken", "file", "lots");
    model.SetTree(std::move(tree));

    const QModelIndex top = model.index(0, 0);
    QCOMPARE(top.data().toString(), QString("CatalogLibrary"));
    QCOMPARE(model.index(0, 2).data().toString(), QString());
    QCOMPARE(model.index(0, 2, top).data().toString(), QString("1.50 KB"));
    QCOMPARE(model.index(1, 2, top).data().toString(), QString("1,953.13 KB"));
    QCOMPARE(model.index(2, 2, top).data().toString(), QString("0.00 KB"));
    QCOMPARE(model.index(3, 2, top).data().toString(), QString());  // group with a size
    QCOMPARE(model.index(4, 2, top).data().toString(), QString("0.00 KB"));
    // The hint of a cell is its text.
    QCOMPARE(model.index(1, 2, top).data(Qt::ToolTipRole).toString(), QString("1,953.13 KB"));
    QCOMPARE(model.headerData(0, Qt::Horizontal).toString(), QString("CatalogName"));
    QCOMPARE(model.headerData(1, Qt::Horizontal).toString(), QString("Create Time"));
    QCOMPARE(model.headerData(2, Qt::Horizontal).toString(), QString("Size"));

    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    QCOMPARE(model.index(1, 2, top).data().toString(), QString("1.953,13 KB"));
  }

  void GroupsStayFirstInBothDirections() {
    LibraryTreeModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.SetTree(MixedGroup());
    const QPersistentModelIndex catalog_a = model.index(2, 0, model.index(0, 0));
    model.sort(0, Qt::AscendingOrder);
    QCOMPARE(Names(model, model.index(0, 0)), QStringList({"Y", "z", "A", "b"}));
    QCOMPARE(catalog_a.row(), 2);  // persistent indexes follow their nodes
    model.sort(0, Qt::DescendingOrder);
    QCOMPARE(Names(model, model.index(0, 0)), QStringList({"z", "Y", "b", "A"}));
    QCOMPARE(catalog_a.row(), 3);
    QCOMPARE(catalog_a.data().toString(), QString("A"));
    // By time: empty times first when ascending.
    model.sort(1, Qt::AscendingOrder);
    QCOMPARE(Names(model, model.index(0, 0)), QStringList({"z", "Y", "A", "b"}));
    model.sort(2, Qt::DescendingOrder);
    QCOMPARE(Names(model, model.index(0, 0)).mid(2), QStringList({"b", "A"}));
  }

  void HeaderClicksFlipTheDirectionAcrossColumns() {
    LibraryPanel panel;
    panel.Model()->SetTree(MixedGroup());
    panel.resize(400, 300);
    panel.show();
    QVERIFY(QTest::qWaitForWindowExposed(&panel));
    QHeaderView* header = panel.TreeView()->header();
    const auto click = [&](int section, Qt::MouseButton button) {
      const QPoint at(header->sectionViewportPosition(section) + 10, header->height() / 2);
      QTest::mouseClick(header->viewport(), button, {}, at);
    };
    const QModelIndex top = panel.Model()->index(0, 0);
    click(2, Qt::RightButton);  // right-clicks never sort
    QCOMPARE(Names(*panel.Model(), top), QStringList({"b", "z", "A", "Y"}));
    click(2, Qt::LeftButton);  // first click: Size ascending
    QCOMPARE(header->sortIndicatorOrder(), Qt::AscendingOrder);
    QCOMPARE(Names(*panel.Model(), top), QStringList({"z", "Y", "A", "b"}));
    click(0, Qt::LeftButton);  // another column flips the direction too
    QCOMPARE(header->sortIndicatorSection(), 0);
    QCOMPARE(header->sortIndicatorOrder(), Qt::DescendingOrder);
    QCOMPARE(Names(*panel.Model(), top), QStringList({"z", "Y", "b", "A"}));
    click(0, Qt::LeftButton);
    QCOMPARE(Names(*panel.Model(), top), QStringList({"Y", "z", "A", "b"}));
  }

  void SelectsByExactPath() {
    LibraryPanel panel;
    CatalogTree tree;
    CatalogTree::Node* root = Add(tree, nullptr, "CatalogLibrary", "directory");
    CatalogTree::Node* group = Add(tree, root, "Music", "directory");
    Add(tree, group, "Jazz", "file", "10");
    panel.Model()->SetTree(std::move(tree));
    QVERIFY(!panel.SelectNodeByPath("jazz"));  // letter case counts
    QCOMPARE(panel.SelectedPath(), QString());
    QVERIFY(panel.SelectNodeByPath("Jazz"));
    QCOMPARE(panel.SelectedPath(), QString("Jazz"));
    QVERIFY(panel.SelectedIsCatalog());
    QVERIFY(panel.TreeView()->isExpanded(panel.Model()->index(0, 0, panel.Model()->index(0, 0))));
    QVERIFY(panel.SelectNodeByPath("Music"));
    QVERIFY(!panel.SelectedIsCatalog());
  }

  void RefreshListsTheLibraryFromDisk() {
    lumivor::testing::TempDir dir;
    const std::string root = dir / "CatalogLibrary";
    lumivor::testing::WriteFile(root + "/Mp3/a.xml", std::string(1000, 'x'));
    lumivor::testing::WriteFile(root + "/b.xml", std::string(3000, 'x'));
    std::filesystem::create_directories(root + "/DVD/Old");

    LibraryPanel panel;
    QAbstractItemModelTester tester(panel.Model(),
                                    QAbstractItemModelTester::FailureReportingMode::QtTest);
    QSignalSpy activated(&panel, &LibraryPanel::NodeActivated);
    panel.SetLibraryRoot(QString::fromStdString(root));
    panel.RefreshLibrary();
    QCOMPARE(panel.SelectedPath(), QString::fromStdString(root));  // the root is focused
    QVERIFY(panel.TreeView()->isExpanded(panel.Model()->index(0, 0)));
    QVERIFY(panel.SelectNodeByPath(QString::fromStdString(root + "/Mp3/a.xml")));

    panel.SetGroupsOnly(true);
    panel.RefreshLibrary();
    QVERIFY(!panel.SelectNodeByPath(QString::fromStdString(root + "/Mp3/a.xml")));
    QVERIFY(!panel.SelectNodeByPath(QString::fromStdString(root + "/b.xml")));
    QVERIFY(panel.SelectNodeByPath(QString::fromStdString(root + "/DVD/Old")));
    QCOMPARE(activated.count(), 0);
  }
};

QTEST_MAIN(FrmCatTreeTest)
#include "library_panel_test.moc"
