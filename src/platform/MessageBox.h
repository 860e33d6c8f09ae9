// Message boxes (MessageBoxA) without a window system: a process-wide hook that the host
// can install to show them its own way. Without a hook a box prints "title: text" to
// stderr and answers at once with its default button, so it never blocks an engine
// thread. Callable from any thread; the hook may block the calling thread (a host that
// waits for its user) without holding up other boxes or SetMessageBoxHook.
#pragma once

#include "platform/Types.h"

#include <functional>
#include <string>

namespace platform
{
// Buttons (the low 4 bits of the type).
inline constexpr UINT MB_OK = 0x0;
inline constexpr UINT MB_OKCANCEL = 0x1;
inline constexpr UINT MB_ABORTRETRYIGNORE = 0x2;
inline constexpr UINT MB_YESNOCANCEL = 0x3;
inline constexpr UINT MB_YESNO = 0x4;
inline constexpr UINT MB_RETRYCANCEL = 0x5;
inline constexpr UINT MB_TYPEMASK = 0xF;
// Icons.
inline constexpr UINT MB_ICONHAND = 0x10;
inline constexpr UINT MB_ICONSTOP = MB_ICONHAND;
inline constexpr UINT MB_ICONERROR = MB_ICONHAND;
inline constexpr UINT MB_ICONQUESTION = 0x20;
inline constexpr UINT MB_ICONEXCLAMATION = 0x30;
inline constexpr UINT MB_ICONWARNING = MB_ICONEXCLAMATION;
inline constexpr UINT MB_ICONINFORMATION = 0x40;
inline constexpr UINT MB_ICONASTERISK = MB_ICONINFORMATION;
inline constexpr UINT MB_ICONMASK = 0xF0;
// Default button.
inline constexpr UINT MB_DEFBUTTON1 = 0x000;
inline constexpr UINT MB_DEFBUTTON2 = 0x100;
inline constexpr UINT MB_DEFBUTTON3 = 0x200;
inline constexpr UINT MB_DEFMASK = 0xF00;
// Modality and placement flags are accepted and passed on to the hook.
inline constexpr UINT MB_APPLMODAL = 0x0000;
inline constexpr UINT MB_SYSTEMMODAL = 0x1000;
inline constexpr UINT MB_TASKMODAL = 0x2000;
inline constexpr UINT MB_SETFOREGROUND = 0x10000;
inline constexpr UINT MB_TOPMOST = 0x40000;

// Results: the button chosen.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDABORT = 3;
inline constexpr int IDRETRY = 4;
inline constexpr int IDIGNORE = 5;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// The result a box answers without a user: its default button (MB_DEFBUTTONn of its
// button set; the first when n is beyond the set).
int DefaultButton(UINT uType);

// Shows the box through the hook, or prints it; returns the button chosen.
int MessageBox(const std::string& text, const std::string& title, UINT uType);

// Installs the host's hook; an empty function puts the stderr default back. A call
// already inside the previous hook finishes with it (the function lives until then).
using MessageBoxHook =
    std::function<int(const std::string& text, const std::string& title, UINT uType)>;
void SetMessageBoxHook(MessageBoxHook hook);
} // namespace platform
