// The library's own state: its module handle and the counts behind DllCanUnloadNow.
#pragma once

#include <windows.h>

#include <string>

namespace varnel::ocx {

HINSTANCE Module();
// The window class of the control's design-mode window; unregistered when the library unloads.
inline constexpr wchar_t kFaceWindowClass[] = L"VarnelFace";
// The full path of this library file.
std::wstring ModulePath();

// Objects alive (controls, class factories) and IClassFactory::LockServer locks.
void ObjectCreated();
void ObjectDestroyed();
void Lock();
void Unlock();
bool CanUnload();

}  // namespace varnel::ocx
