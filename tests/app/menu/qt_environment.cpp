// One QApplication for a whole test program, on the platform the build
// names (VANTLE_QPA_PLATFORM: "offscreen", or "xcb" under an X server of the
// test's own), made before the first test and gone after the last.
//
// Qt may read settings, write caches and talk to the session bus: the
// program gets temporary XDG folders and a private bus first, so that it
// never touches the user's.
#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "tests/support/private_bus.h"
#include "tests/support/temp_folder.h"

// The bundled icons live in a static library; the application registers
// them at start, and so does this program.
static void registerIcons() { Q_INIT_RESOURCE(icons); }

namespace vantle::testing {
namespace {

class QtApplication final : public ::testing::Environment {
 public:
  void SetUp() override {
    home_ = std::make_unique<TempFolder>();
    const std::filesystem::path runtime = home_->folder("runtime");
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all, std::filesystem::perm_options::replace);
    setenv("HOME", home_->str().c_str(), 1);
    setenv("XDG_CONFIG_HOME", home_->folder("config").c_str(), 1);
    setenv("XDG_DATA_HOME", home_->folder("data").c_str(), 1);
    setenv("XDG_CACHE_HOME", home_->folder("cache").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    bus_ = std::make_unique<PrivateBus>();
    setenv("QT_QPA_PLATFORM", VANTLE_QPA_PLATFORM, 1);
    app_ = std::make_unique<QApplication>(argc_, argv_);
    registerIcons();
  }

  void TearDown() override {
    app_.reset();
    bus_.reset();
    home_.reset();
  }

 private:
  int argc_ = 1;
  char name_[16] = "vantle-tests";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<TempFolder> home_;
  std::unique_ptr<PrivateBus> bus_;
  std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] const auto* const registered = ::testing::AddGlobalTestEnvironment(new QtApplication);

}  // namespace
}  // namespace vantle::testing
