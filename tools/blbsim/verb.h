#pragma once
// One harness verb: `blbsim <verb> [args...]`, registered by a verbs_*.cc
// file with a static VerbRegistration (tools/verbs/verb.h).
#include "verbs/verb.h"

namespace blbsim {

using tools::Args;
using tools::Number;
using tools::NumbersFrom;
using tools::ReadInt;
using tools::ReadNumber;
using tools::Report;
using tools::UsageError;
using tools::Verb;
using tools::VerbRegistration;
using tools::VerbTable;

}  // namespace blbsim
