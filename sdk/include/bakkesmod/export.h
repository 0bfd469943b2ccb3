#pragma once

// Symbol visibility across the host/plugin boundary. Every binary in this
// project is built with hidden visibility by default, so only what is marked
// here is part of a binary's interface.
#if defined(_WIN32)
#define BAKKESMOD_DLL_EXPORT __declspec(dllexport)
#define BAKKESMOD_DLL_IMPORT __declspec(dllimport)
#elif defined(__GNUC__) || defined(__clang__)
#define BAKKESMOD_DLL_EXPORT __attribute__((visibility("default")))
#define BAKKESMOD_DLL_IMPORT __attribute__((visibility("default")))
#else
#define BAKKESMOD_DLL_EXPORT
#define BAKKESMOD_DLL_IMPORT
#endif

// The SDK library's classes: exported while building pluginsdk itself,
// imported by plugin modules and the host program.
#if defined(PLUGINSDK_BUILDING)
#define PLUGINSDK_API BAKKESMOD_DLL_EXPORT
#else
#define PLUGINSDK_API BAKKESMOD_DLL_IMPORT
#endif

// What a plugin module itself exports: the plugin base class members, the
// descriptor and the entry points. The host never links against a module (it
// only loads it), so outside a module build this marks nothing.
#if defined(BAKKESMOD_PLUGIN_BUILDING)
#define BAKKESMOD_PLUGIN_API BAKKESMOD_DLL_EXPORT
#elif defined(_WIN32)
#define BAKKESMOD_PLUGIN_API
#else
#define BAKKESMOD_PLUGIN_API BAKKESMOD_DLL_EXPORT
#endif
