#pragma once
// A failure's message may quote another failure's whole chain, as
// CQiError::AsString gives it ("Error=[code=-16 | file:line function: what
// failed | file:line function]"): its frames are for the log, its messages
// for the person reading the line.
#include <string>

namespace tools {

// The message with each quoted chain cut down to the messages of its frames,
// in the chain's order, behind its code ("code=-5: what failed"); the code
// is left out when it is `ownCode`, which the line shows already, and the
// chain is left as its code alone when no frame has a message. A chain ends
// at the first bracket closing one it did not open (the bracket it was
// quoted in), which stays with what follows it, or with the message. A
// chain quoted inside another is cut first.
std::string WithQuotedChainsShort(const std::string& message, long long ownCode);

// The code of the first chain the message quotes; 0 when it quotes none.
long long FirstQuotedChainCode(const std::string& message);

}  // namespace tools
