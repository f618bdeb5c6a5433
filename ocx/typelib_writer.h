// Writes the type library of the automation table through ICreateTypeLib2.
#pragma once

#include <oaidl.h>

#include <string>

namespace varnel::ocx {

// Writes the library to path for the given platform (SYS_WIN32 or SYS_WIN64: the function-table
// offsets follow its pointer size). Returns false with a message in error on failure.
bool WriteTypeLibrary(const std::wstring& path, SYSKIND syskind, std::string& error);

}  // namespace varnel::ocx
