#pragma once

#include <string>

// The full path of the running executable, however long it is (paths with the
// \\?\ prefix can reach 32767 characters). Empty only if the system cannot
// tell.
std::wstring GetModulePath();
