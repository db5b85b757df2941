// The engine calls whose form differs between the Node lines the module is
// built for (Node 20 to 26, V8 11.3 to 14.6). Every version test lives here;
// the rest of the module calls these names and keeps one meaning on every
// line.
#ifndef SRC_ENGINE_COMPAT_H_
#define SRC_ENGINE_COMPAT_H_

#include <v8-version.h>
#include <v8.h>

#include <cstddef>
#include <cstdint>

// V8 13.4 added the size_t string writers and deprecated the int ones; V8 14
// removed the old ones.
#if V8_MAJOR_VERSION > 13 || (V8_MAJOR_VERSION == 13 && V8_MINOR_VERSION >= 4)
#define VANTAREL_HAS_STRING_WRITE_V2 1
#else
#define VANTAREL_HAS_STRING_WRITE_V2 0
#endif

// V8 14 tags external pointers with their type and deprecated the untagged
// forms; the module keeps the default tag, which the untagged forms used.
#if V8_MAJOR_VERSION >= 14
#define VANTAREL_HAS_EXTERNAL_TAG 1
#else
#define VANTAREL_HAS_EXTERNAL_TAG 0
#endif

namespace vantarel {
namespace compat {

inline v8::Local<v8::External> new_external(v8::Isolate* isolate, void* value) {
#if VANTAREL_HAS_EXTERNAL_TAG
  return v8::External::New(isolate, value, v8::kExternalPointerTypeTagDefault);
#else
  return v8::External::New(isolate, value);
#endif
}

inline void* external_value(v8::Local<v8::External> external) {
#if VANTAREL_HAS_EXTERNAL_TAG
  return external->Value(v8::kExternalPointerTypeTagDefault);
#else
  return external->Value();
#endif
}

// Bytes of the UTF-8 form of str, a lone surrogate counted as three.
inline size_t utf8_length(v8::Isolate* isolate, v8::Local<v8::String> str) {
#if VANTAREL_HAS_STRING_WRITE_V2
  return str->Utf8LengthV2(isolate);
#else
  return static_cast<size_t>(str->Utf8Length(isolate));
#endif
}

// Writes the UTF-8 form of str into buffer without a terminating NUL, lone
// surrogates replaced by U+FFFD; capacity is at least utf8_length(str), or
// three bytes per UTF-16 unit. Returns the bytes written.
inline size_t write_utf8(v8::Isolate* isolate, v8::Local<v8::String> str,
                         char* buffer, size_t capacity) {
#if VANTAREL_HAS_STRING_WRITE_V2
  return str->WriteUtf8V2(isolate, buffer, capacity,
                          v8::String::WriteFlags::kReplaceInvalidUtf8);
#else
  return static_cast<size_t>(str->WriteUtf8(
      isolate, buffer, static_cast<int>(capacity), nullptr,
      v8::String::NO_NULL_TERMINATION | v8::String::REPLACE_INVALID_UTF8));
#endif
}

// Writes the length one-byte characters of str, which must be a one-byte
// string, into buffer as Latin-1 bytes without a terminating NUL.
inline void write_one_byte(v8::Isolate* isolate, v8::Local<v8::String> str,
                           char* buffer, size_t length) {
  uint8_t* bytes = reinterpret_cast<uint8_t*>(buffer);
#if VANTAREL_HAS_STRING_WRITE_V2
  str->WriteOneByteV2(isolate, 0, static_cast<uint32_t>(length), bytes);
#else
  str->WriteOneByte(isolate, bytes, 0, static_cast<int>(length),
                    v8::String::NO_NULL_TERMINATION);
#endif
}

// Writes the length UTF-16 units of str into buffer.
inline void write_two_byte(v8::Isolate* isolate, v8::Local<v8::String> str,
                           char16_t* buffer, size_t length) {
  uint16_t* units = reinterpret_cast<uint16_t*>(buffer);
#if VANTAREL_HAS_STRING_WRITE_V2
  str->WriteV2(isolate, 0, static_cast<uint32_t>(length), units);
#else
  str->Write(isolate, units, 0, static_cast<int>(length),
             v8::String::NO_NULL_TERMINATION);
#endif
}

}  // namespace compat
}  // namespace vantarel

#endif  // SRC_ENGINE_COMPAT_H_
