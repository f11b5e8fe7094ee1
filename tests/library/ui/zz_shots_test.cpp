#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <filesystem>
#include "config/config.h"
#include "config/ui/tfm_config.h"
#include "library/ui/frm_cat_tree.h"
#include "library/ui/tfm_cat_lib.h"
#include "library/ui/tfm_new_cat.h"
#include "search/ui/tfm_search.h"
#define LUMIVOR_CLI_PATH ""
#include "test_util.h"
using namespace lumivor;
class Shots : public QObject {
  Q_OBJECT
 private slots:
  void All() {
    testing::TempDir dir;
    std::string root = dir / "CatalogLibrary";
    for (auto g : {"Mp3", "DVD", "Movie", "Book", "Document"})
      std::filesystem::create_directories(root + "/" + g);
    testing::WriteFile(root + "/Mp3/Jazz Collection.xml", std::string(150000, 'x'));
    testing::WriteFile(root + "/DVD/Holiday 2006.xml", std::string(2000000, 'x'));
    ScriptedPrompts prompts;
    const QString out = "/tmp/uilib_shots/";
    std::filesystem::create_directories(out.toStdString());
    auto snap = [&](QWidget& w, const char* name) {
      w.show();
      (void)QTest::qWaitForWindowExposed(&w);
      QTest::qWait(200);
      w.grab().save(out + name);
    };
    {
      TFMNewCat d(prompts, QString::fromStdString(root));
      snap(d, "newcat_compact.png");
      d.SpeedButton4->click();
      d.rbFilter->setChecked(true);
      d.EdExt->setText("mp3");
      d.BtnAdd->click();
      QTest::qWait(100);
      snap(d, "newcat_adv.png");
    }
    {
      TFMCatLib d(prompts, QString::fromStdString(root));
      d.FrmCatTree->SelectNodeByPath(QString::fromStdString(root + "/Mp3/Jazz Collection.xml"));
      snap(d, "catlib.png");
    }
    {
      TFMSearch d(prompts, QString::fromStdString(root));
      snap(d, "search.png");
    }
    {
      TConfig c(dir.Path());
      TFMConfig d(c, prompts);
      snap(d, "config.png");
    }
  }
};
QTEST_MAIN(Shots)
#include "zz_shots_test.moc"
