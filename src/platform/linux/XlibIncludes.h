#pragma once

// Xlib's headers define names that collide with ours and Qt's: the macros Status, Bool and None, and the
// type KeyCode (our KeyCode namespace). Include Xlib only through this header, after every Qt and project
// header; Xlib's own prototypes keep their meaning, our code keeps its names.
#define KeyCode XKeyCode
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xfixes.h>
#include <X11/keysym.h>
#undef KeyCode
#undef Status
#undef Bool
#undef None

// X's "no resource" value, spelled without the None macro.
inline constexpr unsigned long kXNone = 0;
