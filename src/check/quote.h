// A name in a message of -c, quoted as md5sum's messages quote it (a shell
// word in the C locale): as it is when it holds only harmless bytes, else in
// single quotes, with each run of bytes a shell can not hold there as
// $'\t', $'\033' and the like, and a single quote as '\''; a name whose only
// trouble is a single quote goes in double quotes. Either way no byte below
// 32 or above 126 reaches the terminal.
#pragma once

#include <string>
#include <string_view>

std::string shell_quoted(std::string_view name);
