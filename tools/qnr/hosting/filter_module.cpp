#include "hosting/filter_module.h"

#include <unistd.h>

#include "base/failure.h"
#include "base/machine.h"

namespace qnr {

namespace {

constexpr char kModuleFile[] = "QNR_CUDA.vdf";

// The folder part of a path: "/usr/bin" for "/usr/bin/qnr", "" for "/qnr".
std::string folder_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

}  // namespace

std::string default_module_path() {
  const std::string exe = executable_path();
  if (exe.empty()) return kModuleFile;
  const std::string folder = folder_of(exe);
  const std::string beside = folder + "/" + kModuleFile;
  const std::string installed = folder_of(folder) + "/lib/qnr/" + kModuleFile;
  if (exists(beside)) return beside;
  if (exists(installed)) return installed;
  // Neither there: name the place this layout should have it.
  return folder.ends_with("/bin") ? installed : beside;
}

LoadedModule load_filter_module(const std::string& path) {
  if (::access(path.c_str(), F_OK) != 0) {
    throw Failure("the filter module " + path +
                  " does not exist; build it (it is built beside qnr; an installed qnr finds it "
                  "in lib/qnr beside its bin folder) or pass --module PATH");
  }
  std::string error;
  LoadedModule loaded;
  loaded.module = vdhost::FilterModule::load(path, error);
  if (!loaded.module) {
    throw Failure("cannot load " + path + " as a filter module: " + error +
                  "; pass --module PATH to the QNR_CUDA.vdf built for this system");
  }
  if (loaded.module->initialise() != 0) {
    throw Failure("the filter module " + path + " refused to initialise");
  }
  loaded.filter = loaded.module->filter();
  if (loaded.filter == nullptr || loaded.filter->run == nullptr) {
    throw Failure("the module " + path + " registers no video filter");
  }
  return loaded;
}

namespace {

void call_command(vdhost::FilterInstance& instance, const ScriptCall& call) {
  if (instance.find_script_command(call.name) == nullptr) {
    const std::string known = list_script_commands(instance.definition());
    throw Failure("unknown settings command \"" + call.name + "\"; the filter knows " +
                      (known.empty() ? std::string("none") : known),
                  kExitUsage);
  }
  std::string error;
  if (!instance.call_script(call.name, call.arguments, error)) {
    throw Failure("bad settings line: " + error, kExitUsage);
  }
}

}  // namespace

std::unique_ptr<vdhost::FilterInstance> make_instance(const LoadedModule& loaded,
                                                      const FilterSettings& settings) {
  auto instance = std::make_unique<vdhost::FilterInstance>(*loaded.module, *loaded.filter);
  if (instance->init() != 0) throw Failure("the filter failed to initialise");
  if (settings.config) call_command(*instance, *settings.config);
  switch (vdhost::apply_settings(*instance, settings.values)) {
    case vdhost::SettingsOutcome::applied: break;
    case vdhost::SettingsOutcome::no_config_command:
      throw Failure("the filter does not report its settings as Config(...); use --config");
    case vdhost::SettingsOutcome::unknown_record:
      throw Failure(
          "this filter module does not have the settings record qnr knows; "
          "--show-noise and --disable need the matching QNR_CUDA.vdf");
  }
  return instance;
}

}  // namespace qnr
