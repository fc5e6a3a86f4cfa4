// The values of the open registry key as the settings store sees them, on every platform: read
// once when the key opens (LoadValues), changed in memory, written back by CloseKey.
#include "serial/comport_text.h"
#include "serial/storage/comport_storage.h"
#include "serial/storage/comport_storage_file.h"

namespace quarlex {

using namespace storage_detail;

void TComRegistry::CloseKey() {
  if (changed_) {
    WriteValues(key_open_ ? folder_ : RootFolder());
    changed_ = false;
  }
  key_open_ = false;
  loaded_ = false;
  values_.clear();
}

void TComRegistry::LoadValues() {
  if (loaded_) return;
  if (!key_open_) folder_ = RootFolder();
  values_.clear();
  ReadValues();
  loaded_ = true;
}

TComRegistry::Value* TComRegistry::Lookup(const std::string& Name) {
  LoadValues();
  for (Value& v : values_)
    if (SameTextIgnoringCase(v.name, Name)) return &v;
  return nullptr;
}

bool TComRegistry::ValueExists(const std::string& Name) {
  return Lookup(Name) != nullptr;
}

std::string TComRegistry::ReadString(const std::string& Name) {
  const Value* v = Lookup(Name);
  if (!v) return {};
  if (v->is_integer) Fail("value " + Name + " is an integer, not a text");
  return v->text;
}

int32_t TComRegistry::ReadInteger(const std::string& Name) {
  const Value* v = Lookup(Name);
  if (!v) Fail("no value " + Name);
  if (!v->is_integer) Fail("value " + Name + " is a text, not an integer");
  return v->integer;
}

void TComRegistry::WriteString(const std::string& Name, const std::string& Value) {
  TComRegistry::Value* v = Lookup(Name);
  if (!v) {
    values_.push_back({Name, false, Value, 0});
  } else {
    *v = {v->name, false, Value, 0};
  }
  changed_ = true;
}

void TComRegistry::WriteInteger(const std::string& Name, int32_t Value) {
  TComRegistry::Value* v = Lookup(Name);
  if (!v) {
    values_.push_back({Name, true, {}, Value});
  } else {
    *v = {v->name, true, {}, Value};
  }
  changed_ = true;
}

}  // namespace quarlex
