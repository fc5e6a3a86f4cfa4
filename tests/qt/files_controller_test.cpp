#include "qt/files_controller.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <QTimer>

#include "qt/support/stand_in_actions.h"
#include "tools/capture_file_system.h"
#include "tools/files_support.h"

namespace quarlex {
namespace {

using testing_support::ListNames;
using testing_support::ReadWhole;
using testing_support::TempDir;
using testing_support::WriteWhole;

struct FilesControllerTest : ::testing::Test, testing_support::StandInActions, FindPanel {
  TempDir dir;
  MainWindow w{*this};
  FilesController* c = nullptr;
  int findCloses = 0;
  bool SaveClick() override { return c->Files().BtnSaveClick(); }
  void Open() override { c->Files().BtnOpenClick(); }
  void ClearFindBox() override {}
  void CloseFindPanel() override {
    ++findCloses;
    w.session().Store.SearchOpen = 0;
  }
  void SetUp() override {
    c = w.Attach(std::make_shared<FilesController>(w.session(), w.saveMenu(), *this, w, w,
                                                   [] { return std::string("COM7"); }));
    w.FormCreate();
    w.session().ExeFolder = dir.Folder();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  }
  CaptureStore& store() { return w.session().Store; }
  void Receive(size_t n) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 1);
    while (n > 0 && store().ReceiveRoom() > 0) n -= store().AppendReceived(b.data() + (b.size() - n), n);
  }
  // The captures (each has its times file beside it).
  std::vector<std::string> SavedNames() {
    std::vector<std::string> names = ListNames(dir.Folder());
    std::erase_if(names, [](const std::string& n) { return !n.ends_with(".data"); });
    return names;
  }
};

TEST_F(FilesControllerTest, ExeFolderIsSetWhenTheWindowHasNone) {
  testing_support::StandInActions none;
  MainWindow other(none);
  other.Attach(std::make_shared<FilesController>(other.session(), other.saveMenu(), *this, other, other,
                                                 [] { return std::string(); }));
  ASSERT_FALSE(other.session().ExeFolder.empty());
  // Ends with the platform's separator ('/' here; '\\' too on Windows), ready for a file name.
  EXPECT_NE(std::string_view(capture_fs::FolderSeparators).find(other.session().ExeFolder.back()),
            std::string_view::npos)
      << other.session().ExeFolder;
}

TEST_F(FilesControllerTest, OpenDialogOffersAllFirstThenData) {
  auto d = FilesController::MakeOpenFile(&w);
  EXPECT_EQ(d->nameFilters(), (QStringList{"All (*)", "Data (*.data)"}));
  EXPECT_EQ(d->selectedNameFilter(), "All (*)");
  EXPECT_EQ(d->fileMode(), QFileDialog::ExistingFile);
}

TEST_F(FilesControllerTest, SaveButtonSavesTheCheckedModeAndShowsTheMessage) {
  Receive(100);
  QTest::mouseClick(w.toolbar().BtnSave, Qt::LeftButton);
  ASSERT_EQ(SavedNames().size(), 1u);
  const std::string first = SavedNames()[0];
  EXPECT_TRUE(first.starts_with("COM7_") && first.ends_with(".data")) << first;
  EXPECT_TRUE(w.frame().Msg->isVisible());
  EXPECT_EQ(w.frame().Msg->text().toStdString(), "File  " + first + "  saved");
  EXPECT_EQ(w.frame().Msg->palette().color(QPalette::Window), QColor(76, 175, 80));
  EXPECT_EQ(store().SavedUpTo(), 100u);

  // Interval (the start-up choice) after the first save has nothing new; Full writes it all.
  w.saveMenu().save_Full->trigger();
  ASSERT_TRUE(w.saveMenu().save_Full->isChecked());
  EXPECT_FALSE(w.saveMenu().save_Interval->isChecked());
  EXPECT_TRUE(w.PreviewKey(Qt::Key_S, Qt::ControlModifier));  // Ctrl+S
  ASSERT_EQ(SavedNames().size(), 2u);
  for (const std::string& n : SavedNames()) EXPECT_EQ(ReadWhole(dir.Path(n)).size(), 100u);
}

TEST_F(FilesControllerTest, TickAutosavesAFullRingWhenAutosaveIsChecked) {
  w.saveMenu().save_Auto->trigger();
  ASSERT_TRUE(w.saveMenu().save_Auto->isChecked());
  Receive(CaptureSize);
  ASSERT_EQ(store().CaptureFull(), 1);
  w.session().TimerMainTimer();
  ASSERT_EQ(SavedNames().size(), 1u);
  EXPECT_EQ(ReadWhole(dir.Path(SavedNames()[0])).size(), size_t{CaptureSize});
  EXPECT_EQ(store().CaptureFull(), 0);
}

TEST_F(FilesControllerTest, OpenLoadsTheChosenFileAndClosesSearch) {
  WriteWhole(dir.Path("in.bin"), {5, 6, 7, 8});
  Receive(50);
  store().SearchOpen = 1;
  c->FileChooser = [this] { return QString::fromStdString(dir.Path("in.bin")); };
  QTest::mouseClick(w.toolbar().BtnOpen, Qt::LeftButton);
  EXPECT_EQ(store().WriteIndex(), 4u);
  EXPECT_EQ(store().CaptureBuffer[3], 8);
  EXPECT_EQ(findCloses, 1);
  EXPECT_FALSE(w.frame().Msg->isVisible());
}

TEST_F(FilesControllerTest, MissingFileAndCancelledDialog) {
  Receive(50);
  c->FileChooser = [] { return QString(); };
  EXPECT_TRUE(w.PreviewKey(Qt::Key_O, Qt::ControlModifier));  // Ctrl+O
  EXPECT_EQ(store().WriteIndex(), 50u);
  EXPECT_FALSE(w.frame().Msg->isVisible());

  c->FileChooser = [this] { return QString::fromStdString(dir.Path("gone.data")); };
  QTest::mouseClick(w.toolbar().BtnOpen, Qt::LeftButton);
  EXPECT_EQ(store().WriteIndex(), 50u);
  EXPECT_TRUE(w.frame().Msg->isVisible());
  EXPECT_EQ(w.frame().Msg->text(), "File not found");
  EXPECT_EQ(w.frame().Msg->palette().color(QPalette::Window), QColor(201, 79, 77));
}

TEST_F(FilesControllerTest, RealDialogHandsTheChosenFileOver) {
  WriteWhole(dir.Path("picked.data"), {1, 2, 3});
  // The dialog is modal: pick the file from inside its own event loop.
  QTimer::singleShot(0, [this] {
    auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(d, nullptr);
    d->setDirectory(QString::fromStdString(dir.Folder()));
    d->selectFile("picked.data");
    QMetaObject::invokeMethod(d, "accept");
  });
  QTest::mouseClick(w.toolbar().BtnOpen, Qt::LeftButton);
  EXPECT_EQ(store().WriteIndex(), 3u);
}

TEST_F(FilesControllerTest, FailedSaveAtCloseIsShownInADialog) {
  w.session().ExeFolder = "/proc/no-such-folder/";
  Receive(10);
  bool sawBox = false;
  QTimer::singleShot(0, [&sawBox] {
    if (QWidget* box = QApplication::activeModalWidget()) {
      sawBox = true;
      box->close();
    }
  });
  EXPECT_FALSE(c->SaveAtClose());
  EXPECT_TRUE(sawBox);
  EXPECT_EQ(store().SavedUpTo(), 0u);
}

}  // namespace
}  // namespace quarlex
