#include "linked_module.h"

#include "fuzz_support.h"

extern "C" int VirtualdubFilterModuleInit2(HostModuleRecord* module, const HostFunctions* host,
                                           int32_t* version, int32_t* compatible_version);
extern "C" void VirtualdubFilterModuleDeinit(HostModuleRecord* module, const HostFunctions* host);

namespace qnr_fuzz {

const vdhost::FilterModule& linked_module() {
  static const vdhost::FilterModule* const module = [] {
    auto bound = vdhost::FilterModule::bind(
        {VirtualdubFilterModuleInit2, VirtualdubFilterModuleDeinit}, "the linked module");
    require(bound->initialise() == 0 && bound->accepted() && bound->filter() != nullptr,
            "the linked module registers its filter");
    return bound.release();
  }();
  return *module;
}

}  // namespace qnr_fuzz
