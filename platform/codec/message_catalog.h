#pragma once
// The codec's catalogue of generated message types: for each (module, type)
// the message's tag id and class name. A message of a pair that is not listed
// is still a valid message; it gets a tag id made from its pair and a
// descriptive name.
#include <cstdint>
#include <string>

namespace codec {

uint32_t MessageTagId(int module, int type);
std::string MessageTagName(int module, int type);

}  // namespace codec
