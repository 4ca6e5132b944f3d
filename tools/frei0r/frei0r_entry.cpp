// qnr.so: the frei0r entry points. Each is a thin door onto FilterInstance;
// these are the only symbols the plug-in exports (exports.map).
// The header declares the entry points without C linkage of its own.
extern "C" {
#include <frei0r.h>
}

#include "filter_instance.h"
#include "parameters.h"
#include "qnr_version.h"

#define QNR_FREI0R_API extern "C" __attribute__((visibility("default")))

using qnr_frei0r::FilterInstance;
using qnr_frei0r::kParameterCount;

namespace {
FilterInstance* instance_of(f0r_instance_t instance) {
  return static_cast<FilterInstance*>(instance);
}
bool valid_index(int index) { return index >= 0 && index < kParameterCount; }
}  // namespace

// Hosts call init and deinit more than once, and deinit while other instances
// still live (MLT calls it on every filter close): module registration
// therefore happens once per process, on first need, and deinit releases nothing.
QNR_FREI0R_API int f0r_init(void) {
  try {
    return qnr_frei0r::module_ready() ? 1 : 0;
  } catch (...) {
    return 0;  // no exception may leave a C plug-in; a later f0r_init tries again
  }
}

QNR_FREI0R_API void f0r_deinit(void) {}

QNR_FREI0R_API void f0r_get_plugin_info(f0r_plugin_info_t* info) {
  info->name = "qnr";
  info->author = "QNR developers";
  info->plugin_type = F0R_PLUGIN_TYPE_FILTER;
  info->color_model = F0R_COLOR_MODEL_BGRA8888;
  info->frei0r_version = FREI0R_MAJOR_VERSION;
  info->major_version = QNR_VERSION_MAJOR;
  info->minor_version = QNR_VERSION_MINOR;
  info->num_params = kParameterCount;
  info->explanation =
      "QNR " QNR_VERSION_TEXT
      " spatial noise reduction: removes fine luma noise and sharpens detail, with the "
      "same bits as the QNR_CUDA.vdf module (GPU where available, else CPU)";
}

QNR_FREI0R_API void f0r_get_param_info(f0r_param_info_t* info, int index) {
  if (!valid_index(index)) return;
  const qnr_frei0r::ParameterInfo& parameter = qnr_frei0r::parameter(index);
  info->name = parameter.name;
  info->type = parameter.type;
  info->explanation = parameter.explanation;
}

QNR_FREI0R_API f0r_instance_t f0r_construct(unsigned int width, unsigned int height) {
  try {
    return FilterInstance::create(width, height).release();
  } catch (...) {
    return nullptr;  // no exception may leave a C plug-in
  }
}

QNR_FREI0R_API void f0r_destruct(f0r_instance_t instance) { delete instance_of(instance); }

QNR_FREI0R_API void f0r_set_param_value(f0r_instance_t instance, f0r_param_t param, int index) {
  if (instance == nullptr || param == nullptr || !valid_index(index)) return;
  instance_of(instance)->set_parameter(index, *static_cast<const double*>(param));
}

QNR_FREI0R_API void f0r_get_param_value(f0r_instance_t instance, f0r_param_t param, int index) {
  if (instance == nullptr || param == nullptr || !valid_index(index)) return;
  *static_cast<double*>(param) = instance_of(instance)->parameter(index);
}

// `time` is ignored: the filter is purely spatial, and hosts pass garbage there.
QNR_FREI0R_API void f0r_update(f0r_instance_t instance, double, const uint32_t* inframe,
                               uint32_t* outframe) {
  if (instance == nullptr) return;
  instance_of(instance)->update(inframe, outframe);
}
