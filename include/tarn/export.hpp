// TARN_EXPORT marks what the shared library exports; everything else is hidden.
#pragma once
#if defined(_WIN32)
#  if defined(TARN_BUILDING_LIBRARY)
#    define TARN_EXPORT __declspec(dllexport)
#  elif defined(TARN_SHARED)
#    define TARN_EXPORT __declspec(dllimport)
#  else
#    define TARN_EXPORT
#  endif
#else
#  define TARN_EXPORT __attribute__((visibility("default")))
#endif
