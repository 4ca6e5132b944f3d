#include "filter_module.h"

#include <unistd.h>

#include <climits>
#include <cstring>

#include "failure.h"
#include "host/filter_config.h"

namespace qnr {

std::string default_module_path() {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return "QNR_CUDA.vdf";
  std::string exe(buffer, static_cast<size_t>(n));
  const size_t slash = exe.rfind('/');
  return (slash == std::string::npos ? std::string(".") : exe.substr(0, slash)) + "/QNR_CUDA.vdf";
}

LoadedModule load_filter_module(const std::string& path) {
  if (::access(path.c_str(), F_OK) != 0) {
    throw Failure("the filter module " + path + " does not exist; build it (it is built beside "
                  "qnr) or pass --module PATH");
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

std::string list_script_commands(const FilterDefinition& filter) {
  std::string out;
  const ScriptObject* object = filter.script_obj;
  if (object == nullptr || object->functions == nullptr) return out;
  for (const ScriptFunctionRow* row = object->functions; row->handler != nullptr; ++row) {
    if (!out.empty()) out += ", ";
    out += vdhost::describe_signature(*row);
  }
  return out;
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

  // Single settings go through the same command: read back the line the
  // filter reports for its current settings, change the named values, replay it.
  if (settings.level_f1 || settings.level_f2 || settings.sharp || settings.interlace) {
    std::string line, error;
    ScriptCall current;
    if (!instance->script_string(line) || !parse_script_line(line, current, error) ||
        current.name != "Config" || current.arguments.size() < 4) {
      throw Failure("the filter does not report its settings as Config(...); use --config");
    }
    if (settings.level_f1) current.arguments[0] = *settings.level_f1;
    if (settings.level_f2) current.arguments[1] = *settings.level_f2;
    if (settings.sharp) current.arguments[2] = *settings.sharp;
    if (settings.interlace) current.arguments[3] = 1;
    call_command(*instance, current);
  }

  // Show noise and disable are not part of any script command: a host sets
  // them only through the filter's dialog, which qnr has no window for. The
  // settings record's layout is ours (filter_config.h), so these two flags,
  // and only these, are written into the instance's record directly.
  if (settings.show_noise || settings.disable) {
    const bool ours = loaded.filter->name != nullptr && std::strncmp(loaded.filter->name, "QNR ", 4) == 0;
    if (!ours || loaded.filter->inst_data_size != static_cast<int32_t>(sizeof(FilterConfig))) {
      throw Failure("this filter module does not have the settings record qnr knows; "
                    "--show-noise and --disable need the matching QNR_CUDA.vdf");
    }
    FilterConfig* config = instance->data_as<FilterConfig>();
    if (settings.show_noise) config->show_noise = 1;
    if (settings.disable) config->disable = 1;
  }
  return instance;
}

}  // namespace qnr
