// The Qt menu as TrayMenu renders a menu model, offscreen: what each entry
// carries, what choosing one hands to the application, and rebuilding it on
// every change.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QMessageBox>
#include <QTimer>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/app/menu/menu_fixtures.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "app/menu/menu_model.h"
#include "app/menu/tray_menu.h"

namespace vantle::app {
namespace {

using agent::AgentController;
using Choice = std::pair<MenuAction, double>;

// The menu in menuLabels' form, and its actions by the same labels.
struct Rendered {
  std::vector<std::string> labels;
  std::map<std::string, QAction*> actions;

  explicit Rendered(const QMenu& menu, const std::string& indent = "") { add(menu, indent); }
  void add(const QMenu& menu, const std::string& indent) {
    for (QAction* action : menu.actions()) {
      labels.push_back(indent + (action->isSeparator() ? "---" : action->text().toStdString()));
      actions[labels.back()] = action;
      if (action->menu()) add(*action->menu(), indent + "  ");
    }
  }
};

TEST(TrayMenu, EveryEntryShowsItsModelItemAndChoosingOneHandsOnItsActionAndValue) {
  std::vector<Choice> chosen;
  TrayMenu tray([&](MenuAction action, double value) { chosen.emplace_back(action, value); }, false);
  ASSERT_FALSE(tray.usesTray());
  ASSERT_NE(tray.statusWindow(), nullptr);
  EXPECT_EQ(tray.statusWindow()->findChild<QPushButton*>("menu")->menu(), &tray.menu());

  const MenuModel model = buildMenu(testing::countingAgent(), {.diskWarningThresholdGB = 100});
  tray.show(model, testing::countingAgent());
  EXPECT_EQ(tray.statusWindow()->findChild<QLabel*>("count")->text(), "12");
  Rendered r(tray.menu());
  ASSERT_EQ(r.labels, menuLabels(model.items));

  // Lines of text are greyed; buttons and toggles are live; only Quit has a
  // shortcut.
  EXPECT_FALSE(r.actions.at("Look 1 \u00b7 12")->isEnabled());
  EXPECT_TRUE(r.actions.at("Show QR Code")->isEnabled());
  EXPECT_TRUE(r.actions.at("Count JPEGs Too")->isCheckable());
  EXPECT_FALSE(r.actions.at("Count JPEGs Too")->isChecked());
  for (const auto& [label, action] : r.actions) {
    EXPECT_EQ(action->shortcut(), label == "Quit Orvane Live Agent" ? QKeySequence("Ctrl+Q") : QKeySequence())
        << label;
  }

  // The handler runs after the choice, from the event loop, never inside it.
  r.actions.at("  200 GB")->trigger();
  EXPECT_TRUE(chosen.empty());
  r.actions.at("Count JPEGs Too")->trigger();
  r.actions.at("  15 minutes")->trigger();
  r.actions.at("Quit Orvane Live Agent")->trigger();
  ASSERT_TRUE(QTest::qWaitFor([&] { return chosen.size() == 4; }, 10'000));
  EXPECT_THAT(chosen, ::testing::ElementsAre(Choice{MenuAction::warnOnLowDisk, 200},
                                             Choice{MenuAction::countJpegsToo, 1},
                                             Choice{MenuAction::stopClockAfter, 15}, Choice{MenuAction::quit, 0}));

  // Rebuilt on every change, as the application does: one a frame, and a
  // day's shoot makes thousands.
  AgentController::State state = testing::countingAgent();
  for (int frame = 0; frame < 200; ++frame) {
    state.snapshot.frameCount = frame;
    tray.show(buildMenu(state, {}), state);
  }
  EXPECT_EQ(tray.menu().findChildren<QMenu*>().size(), 3) << "submenus of earlier menus are left behind";
  EXPECT_EQ(Rendered(tray.menu()).labels, menuLabels(buildMenu(state, {}).items));
}

TEST(TrayMenu, AFrameChangesWordsInPlaceSoAnOpenSubmenuStaysOpen) {
  std::vector<Choice> chosen;
  TrayMenu tray([&](MenuAction action, double value) { chosen.emplace_back(action, value); }, false);
  AgentController::State state = testing::countingAgent();
  tray.show(buildMenu(state, {}), state);
  const QList<QAction*> before = tray.menu().actions();
  QMenu* submenu = tray.menu().findChildren<QMenu*>().front();
  submenu->popup(QPoint(0, 0));  // open under the pointer, as a user browsing it

  state.snapshot.frameCount = 13;
  state.counting = core::FrameCountRule::CountingMode::anyImage;
  tray.show(buildMenu(state, {}), state);
  EXPECT_EQ(tray.menu().actions(), before);
  EXPECT_TRUE(submenu->isVisible());
  Rendered r(tray.menu());
  EXPECT_EQ(r.labels, menuLabels(buildMenu(state, {}).items));
  EXPECT_TRUE(r.actions.at("Count JPEGs Too")->isChecked());
  // Its choice is now the new one: turning counting every image off.
  r.actions.at("Count JPEGs Too")->trigger();
  ASSERT_TRUE(QTest::qWaitFor([&] { return chosen.size() == 1; }, 10'000));
  EXPECT_EQ(chosen.front(), (Choice{MenuAction::countJpegsToo, 0}));

  // Another shape of menu (a stopped agent) is made again.
  state.isRunning = false;
  tray.show(buildMenu(state, {}), state);
  EXPECT_EQ(Rendered(tray.menu()).labels, menuLabels(buildMenu(state, {}).items));
}

TEST(StatusWindow, ItsControlsAreTheMenusAndClosingItAsksBeforeQuitting) {
  std::vector<Choice> chosen;
  TrayMenu tray([&](MenuAction action, double value) { chosen.emplace_back(action, value); }, false);
  AgentController::State state = testing::countingAgent();
  tray.show(buildMenu(state, {}), state);
  QWidget& window = *tray.statusWindow();
  EXPECT_EQ(window.findChild<QLabel*>("status")->text(), "Look 1 \u00b7 12");
  EXPECT_EQ(window.findChild<QLabel*>("code")->text(), "Pairing code 042917");

  const auto button = [&](const QString& label) {
    for (QPushButton* b : window.findChildren<QPushButton*>()) {
      if (b->text() == label) return b;
    }
    return static_cast<QPushButton*>(nullptr);
  };
  QCheckBox* jpegs = nullptr;
  for (QCheckBox* box : window.findChildren<QCheckBox*>()) {
    if (box->text() == "Count JPEGs Too") jpegs = box;
  }
  ASSERT_TRUE(button("Show QR Code") && jpegs);
  button("Show QR Code")->click();
  jpegs->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return chosen.size() == 2; }, 10'000));
  EXPECT_EQ(chosen[1], (Choice{MenuAction::countJpegsToo, 1}));

  // Turned on, the same box now turns it off.
  state.counting = core::FrameCountRule::CountingMode::anyImage;
  state.snapshot.frameCount = 13;
  tray.show(buildMenu(state, {}), state);
  EXPECT_TRUE(window.findChildren<QCheckBox*>().contains(jpegs));
  EXPECT_TRUE(jpegs->isChecked());
  EXPECT_EQ(window.findChild<QLabel*>("count")->text(), "13");
  jpegs->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return chosen.size() == 3; }, 10'000));
  EXPECT_EQ(chosen[2], (Choice{MenuAction::countJpegsToo, 0}));

  // Closing asks: cancelled, the window stays; confirmed, the agent quits.
  const auto answer = [](QMessageBox::StandardButton which) {
    QTimer::singleShot(0, [which] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) box->button(which)->click();
    });
  };
  answer(QMessageBox::Cancel);
  EXPECT_FALSE(window.close());
  EXPECT_TRUE(window.isVisible());
  answer(QMessageBox::Yes);
  EXPECT_TRUE(window.close());
  EXPECT_EQ(chosen.back(), (Choice{MenuAction::quit, 0}));
}

}  // namespace
}  // namespace vantle::app
