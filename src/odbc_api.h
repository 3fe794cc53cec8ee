// The ODBC API headers, included the way each platform needs them: the
// Windows headers declare the types that MinGW's sql.h builds on, so they
// come first there.  Every file that calls ODBC includes this header, never
// sql.h or sqlext.h directly.
#pragma once
#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX  // keep std::min and std::max usable
#endif
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>
