// Statuses as a person reads them: the constant's name, or the Windows code with its meaning,
// and a plain sentence.
#pragma once

#include <string>

namespace quorix::tool {

// "QUORIX_ERR_TIMEOUT", or "Windows error 121 (ERROR_SEM_TIMEOUT)".
std::string StatusName(int status);
// What the status means, as one sentence.
std::string StatusSentence(int status);

}  // namespace quorix::tool
