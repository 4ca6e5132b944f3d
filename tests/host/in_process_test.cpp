// The module linked into this program and bound in process, as qnr.so binds
// it: the same registration, instances and settings as the module loaded from
// its file.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/frames.h"
#include "support/module.h"
#include "vdhost.h"

extern "C" int VirtualdubFilterModuleInit2(HostModuleRecord* module, const HostFunctions* host,
                                           int32_t* version, int32_t* compatible_version);
extern "C" void VirtualdubFilterModuleDeinit(HostModuleRecord* module, const HostFunctions* host);

namespace {

using testing_frames::FilterSettings;

// The same module bound both ways, initialised.
std::unique_ptr<vdhost::FilterModule> bound(bool in_process) {
  if (!in_process) return testing_module::load_module();
  auto module = vdhost::FilterModule::bind(
      {VirtualdubFilterModuleInit2, VirtualdubFilterModuleDeinit}, "linked in");
  EXPECT_EQ(module->initialise(), 0);
  return module;
}

TEST(InProcessBinding, RegistersAndLeavesAsTheModuleFileDoes) {
  for (const bool in_process : {false, true}) {
    SCOPED_TRACE(in_process ? "bound in process" : "loaded from its file");
    auto module = bound(in_process);
    ASSERT_NE(module, nullptr);
    EXPECT_TRUE(module->accepted());
    ASSERT_EQ(module->add_calls().size(), 1u);
    EXPECT_EQ(module->add_calls()[0].module_record, module.get());
    EXPECT_EQ(module->add_calls()[0].length, 208);
    const FilterDefinition* handle = module->filter();
    ASSERT_NE(handle, nullptr);
    EXPECT_STREQ(handle->name, "QNR 3.6.1 CUDA (x64)");
    EXPECT_TRUE(vdhost::knows_settings_record(*handle));
    module->deinitialise();
    ASSERT_EQ(module->remove_calls().size(), 1u);
    EXPECT_EQ(module->remove_calls()[0], handle);
  }
}

// Settings applied through the host library reach the frame either way:
// Config's values, and Show noise and Disable through the record.
TEST(InProcessBinding, FiltersWithTheSettingsAppliedAsFromTheFile) {
  const std::vector<uint32_t> pixels = testing_frames::random_frame(29, 17, 3);
  for (const FilterSettings s :
       {FilterSettings{}, FilterSettings{30, 90, 5, 1, 1}, FilterSettings{100, 0, 6, 0, 0, 1}}) {
    for (const bool in_process : {false, true}) {
      SCOPED_TRACE(testing::Message() << (in_process ? "bound in process " : "from its file ")
                                      << s.level_f1 << "," << s.level_f2 << "," << s.sharp
                                      << " noise " << s.show_noise << " disable " << s.disable);
      auto module = bound(in_process);
      vdhost::FilterInstance instance(*module, *module->filter());
      ASSERT_EQ(instance.init(), 0);
      const vdhost::Settings settings{
          {s.level_f1, s.level_f2, s.sharp, s.interlace, s.show_noise, s.disable}};
      ASSERT_EQ(vdhost::apply_settings(instance, settings), vdhost::SettingsOutcome::applied);
      vdhost::Bitmap src(29, 17), dst(29, 17);
      src.fill_from_packed(pixels);
      ASSERT_EQ(instance.start(src, dst), 0);
      ASSERT_EQ(instance.run(src, dst), 0);
      EXPECT_EQ(dst.packed(), testing_frames::cpu_path(pixels, 29, 17, s));
      instance.end();
    }
  }
}

// A host refuses a module written for an interface older than its lowest, or
// one that needs a newer interface than its highest.
int32_t fake_version, fake_compatible;
int fake_init(HostModuleRecord*, const HostFunctions*, int32_t* version, int32_t* compatible) {
  *version = fake_version;
  *compatible = fake_compatible;
  return 0;
}
void fake_exit(HostModuleRecord*, const HostFunctions*) {}

TEST(InProcessBinding, AcceptsOnlyModulesWithinTheHostsInterfaceRange) {
  struct Row {
    int32_t version, compatible;
    bool accepted;
  };
  for (const Row row : {Row{14, 8, true}, Row{4, 4, true}, Row{25, 20, true}, Row{3, 1, false},
                        Row{21, 21, false}}) {
    fake_version = row.version;
    fake_compatible = row.compatible;
    auto module = vdhost::FilterModule::bind({fake_init, fake_exit}, "fake");
    ASSERT_EQ(module->initialise(), 0);
    EXPECT_EQ(module->accepted(), row.accepted) << row.version << ", " << row.compatible;
    EXPECT_EQ(module->filter(), nullptr);
  }
}

}  // namespace
