#include "instance.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "script_commands.h"

namespace vdhost {

FilterInstance::FilterInstance(const FilterModule& module, const FilterDefinition& definition)
    : module_(&module), definition_(&definition) {
  // Hosts allocate the block with malloc (16-byte aligned on x64) and zero it;
  // operator new gives the same alignment.
  const size_t size = static_cast<size_t>(std::max(definition.inst_data_size, 0));
  data_.reset(new uint8_t[std::max<size_t>(size, 1)]());
  activation_.filter = definition_;
  activation_.filter_data = size > 0 ? data_.get() : nullptr;
}

FilterInstance::~FilterInstance() {
  if (started_) end();
  if (definition_->deinit != nullptr) definition_->deinit(&activation_, module_->functions());
}

std::unique_ptr<FilterInstance> FilterInstance::duplicate() const {
  auto copy = std::make_unique<FilterInstance>(*module_, *definition_);
  const size_t size = static_cast<size_t>(std::max(definition_->inst_data_size, 0));
  std::memcpy(copy->data_.get(), data_.get(), size);
  return copy;
}

int FilterInstance::init() {
  if (definition_->init == nullptr || definition_->inst_data_size <= 0) return 0;
  return definition_->init(&activation_, module_->functions());
}

int FilterInstance::start(Bitmap& src, Bitmap& dst) { return start(src.record(), dst.record()); }

int FilterInstance::start(HostBitmap& src, HostBitmap& dst) {
  activation_.src = &src;
  activation_.dst = &dst;
  const int result =
      definition_->start != nullptr ? definition_->start(&activation_, module_->functions()) : 0;
  started_ = result == 0;
  return result;
}

int FilterInstance::run(Bitmap& src, Bitmap& dst) { return run(src.record(), dst.record()); }

int FilterInstance::run(HostBitmap& src, HostBitmap& dst) {
  activation_.src = &src;
  activation_.dst = &dst;
  return definition_->run(&activation_, module_->functions());
}

int FilterInstance::end() {
  started_ = false;
  return definition_->end != nullptr ? definition_->end(&activation_, module_->functions()) : 0;
}

int FilterInstance::config(HostWindow parent, PreviewInterface* preview) {
  if (definition_->config == nullptr) return 1;
  activation_.preview = preview;
  const int result = definition_->config(&activation_, module_->functions(), parent);
  activation_.preview = nullptr;
  return result;
}

bool FilterInstance::script_string(std::string& text, int32_t length) {
  text.clear();
  if (definition_->script_string == nullptr) return false;
  std::vector<char> buffer(static_cast<size_t>(std::max(length, 1)), '\0');
  const bool wrote =
      definition_->script_string(&activation_, module_->functions(), buffer.data(), length);
  text.assign(buffer.data(), strnlen(buffer.data(), buffer.size()));
  return wrote;
}

std::string FilterInstance::list_string() {
  if (definition_->string == nullptr) return {};
  std::vector<char> buffer(2048, '\0');
  definition_->string(&activation_, module_->functions(), buffer.data());
  return std::string(buffer.data(), strnlen(buffer.data(), buffer.size()));
}

const ScriptFunctionRow* FilterInstance::find_script_command(const std::string& name) const {
  return vdhost::find_script_command(*definition_, name);
}

bool FilterInstance::call_script(const std::string& name, std::span<const int32_t> arguments,
                                 std::string& error) {
  const ScriptFunctionRow* row = find_script_command(name);
  if (row == nullptr) {
    error = "the filter has no script command named " + name;
    return false;
  }
  return call_script_command(*row, activation_, arguments, error);
}

}  // namespace vdhost
