#pragma once
// The operating-system layer.
//
// The portable core (app/, convert/, transfer/, backup/) reaches the operating
// system only through the headers of this folder. platform/windows/ implements
// them with the Win32 calls the program has always made; platform/posix/ gives
// the same behaviour with POSIX and the C library. A job has the same file
// name in both folders (profile.cpp, stream.cpp, ...).
//
//   module.h   where the running program lives
//   profile.h  the settings file, with the Windows profile-function rules
//   stream.h   C stdio streams opened by a Shift-JIS path
//   fileio.h   raw files, file facts, directory search, folders, ticks
//   process.h  starting, listing and terminating processes
//   net.h      host look-up
//   ui.h       progress window, message boxes, the terminal, stop signals
//
// Only the base layer (base/) lies below it. All texts crossing this layer
// are Shift-JIS (code page 932), as the program holds them. The POSIX layer
// converts paths to UTF-8 for the file system and screen text to the
// terminal's encoding.
