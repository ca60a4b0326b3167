#pragma once
// The base of the codec's generated message classes: an empty message of
// the class's (module, type), with the class's tag id as the message check
// number of its fields.
#include <cstdint>

#include "platform/codec/nmessage_base.h"

template <int Module, int Type, uint32_t TagId>
class CNGeneratedMessage : public CNMessageBase {
 public:
  static constexpr int kModule = Module;
  static constexpr int kType = Type;
  static constexpr uint32_t kTagId = TagId;

  CNGeneratedMessage() : CNMessageBase(Module, Type) {}
};
