// Loading the module as a host does: exported entry, one registration with the
// 208-byte record, versions 14 and 8, and the handle given back at exit.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host/filter_config.h"
#include "support/module.h"
#include "vdhost.h"

namespace {

TEST(ModuleEntry, RegistersOneFilterWithTheFullDefinitionRecord) {
  std::string error;
  auto module = vdhost::FilterModule::load(QNR_MODULE_PATH, error);
  ASSERT_NE(module, nullptr) << error;
  ASSERT_EQ(module->initialise(), 0);
  ASSERT_EQ(module->add_calls().size(), 1u);
  const vdhost::AddFilterCall& call = module->add_calls()[0];
  EXPECT_EQ(call.module_record, module.get());
  EXPECT_EQ(call.length, 208);

  const FilterDefinition* def = module->filter();
  ASSERT_NE(def, nullptr);
  EXPECT_STREQ(def->name, "QNR 3.6.1 CUDA (x64)");
  EXPECT_STREQ(def->desc, "Velmora (QNR) 3.6.1, CUDA-accelerated x64 build");
  EXPECT_NE(def->maker, nullptr);
  EXPECT_EQ(def->inst_data_size, static_cast<int32_t>(sizeof(FilterConfig)));
  EXPECT_EQ(def->inst_data_size, 88);
  EXPECT_NE(def->init, nullptr);
  EXPECT_EQ(def->deinit, nullptr);
  EXPECT_NE(def->run, nullptr);
  EXPECT_EQ(def->param, nullptr);  // the frame size and format never change
  EXPECT_NE(def->string, nullptr);
  EXPECT_NE(def->start, nullptr);
  EXPECT_NE(def->end, nullptr);
  EXPECT_NE(def->script_string, nullptr);
  ASSERT_NE(def->script_obj, nullptr);
  const ScriptFunctionRow* rows = def->script_obj->functions;
  ASSERT_NE(rows, nullptr);
  EXPECT_STREQ(rows[0].name, "Config");
  EXPECT_STREQ(rows[0].signature, "0iiiii");
  EXPECT_EQ(rows[1].handler, nullptr);
  EXPECT_EQ(rows[1].name, nullptr);
  EXPECT_EQ(rows[1].signature, nullptr);
  // Entries after the script-string callback stay empty.
  EXPECT_EQ(def->string2, nullptr);
  EXPECT_EQ(def->copy, nullptr);
  EXPECT_EQ(def->copy2, nullptr);
  EXPECT_EQ(def->event, nullptr);
}

TEST(ModuleEntry, WritesItsVersionsWhateverTheHostPutThere) {
  for (auto [highest, lowest] : {std::pair{20, 4}, {17, 4}, {0, 0}, {-1, 99}}) {
    auto module = testing_module::load_module();
    ASSERT_NE(module, nullptr);
    module->deinitialise();
    ASSERT_EQ(module->initialise(highest, lowest), 0);
    EXPECT_EQ(module->version(), 14);
    EXPECT_EQ(module->compatible_version(), 8);
  }
}

TEST(ModuleEntry, ExitGivesBackExactlyTheHandleThatAddFilterReturned) {
  auto module = testing_module::load_module();
  ASSERT_NE(module, nullptr);
  const FilterDefinition* handle = module->filter();
  module->deinitialise();
  ASSERT_EQ(module->remove_calls().size(), 1u);
  EXPECT_EQ(module->remove_calls()[0], handle);
}

// Hosts load a module, enter and leave it, unload it, and load it again later;
// each entry registers afresh.
TEST(ModuleEntry, EntersAndLeavesRepeatedlyInOneProcess) {
  for (int load = 0; load < 2; ++load) {
    auto module = testing_module::load_module();
    ASSERT_NE(module, nullptr);
    module->deinitialise();
    ASSERT_EQ(module->initialise(), 0);
    const FilterDefinition* def = module->filter();
    ASSERT_NE(def, nullptr);
    // The instance still works after the second entry.
    vdhost::FilterInstance instance(*module, *def);
    EXPECT_EQ(instance.init(), 0);
    EXPECT_EQ(instance.data_as<FilterConfig>()->level_f1, 70);
    module->deinitialise();
    EXPECT_EQ(module->add_calls().size(), 2u);
    EXPECT_EQ(module->remove_calls().size(), 2u);
    EXPECT_EQ(module->remove_calls()[1], def);
  }
}

TEST(ModuleEntry, AFileThatIsNotAFilterModuleIsRefusedClearly) {
  std::string error;
  EXPECT_EQ(vdhost::FilterModule::load("/nonexistent/QNR_CUDA.vdf", error), nullptr);
  EXPECT_FALSE(error.empty());
}

}  // namespace
