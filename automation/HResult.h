#pragma once
#include <cstdint>

namespace Kavrel {

// The 32-bit result of every automation call: 0 for success, negative for failure.
using HRESULT = std::int32_t;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT E_HANDLE = static_cast<HRESULT>(0x80070006u);

inline constexpr bool FAILED(HRESULT hr) { return hr < 0; }
inline constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }

// The system's own failures: 0x80040000 plus a registered 12-bit code.
inline constexpr HRESULT kavrelError(std::uint32_t code) { return static_cast<HRESULT>(0x80040000u | code); }

} // namespace Kavrel
