// The options object that some exported functions take last: undefined, or
// an object whose options are each undefined (the default) or of their
// kind. Anything else is a TypeError that names what was expected, and the
// function then does nothing: it reads all its options before it acts.
#ifndef SRC_OPTIONS_H_
#define SRC_OPTIONS_H_

#include <nan.h>

#include <cmath>
#include <cstdint>
#include <string>

namespace vantarel {

class Options {
 public:
  // required: undefined is a TypeError too.
  Options(v8::Isolate* isolate, v8::Local<v8::Value> options,
          const char* function, bool required = false)
      : isolate_(isolate), function_(function) {
    if (options->IsObject()) {
      object_ = options.As<v8::Object>();
    } else if (required || !options->IsUndefined()) {
      Nan::ThrowTypeError(
          (std::string("Expected an object for the options of ") + function)
              .c_str());
      ok_ = false;
    }
  }

  // False when an exception is pending.
  bool ok() const { return ok_; }

  // Leaves *value as it is when the option is undefined.
  bool boolean(const char* name, bool* value) {
    v8::Local<v8::Value> option;
    if (!read(name, &option)) return false;
    if (option->IsUndefined()) return true;
    if (!option->IsBoolean()) return fail("a boolean", name);
    *value = option->IsTrue();
    return true;
  }

  // An integral number within [min, max]; expected says what that is, for
  // the message ("a positive integer of bytes"). Leaves *value as it is
  // when the option is undefined, unless required.
  bool integer(const char* name, double min, double max,
               const std::string& expected, int64_t* value,
               bool required = false) {
    v8::Local<v8::Value> option;
    if (!read(name, &option)) return false;
    if (option->IsUndefined() && !required) return true;
    const double number =
        option->IsNumber() ? option.As<v8::Number>()->Value() : NAN;
    if (!(number >= min && number <= max) || number != std::trunc(number)) {
      return fail(expected, name);
    }
    *value = static_cast<int64_t>(number);
    return true;
  }

 private:
  bool read(const char* name, v8::Local<v8::Value>* option) {
    if (!ok_) return false;
    if (object_.IsEmpty()) {
      *option = v8::Undefined(isolate_);
      return true;
    }
    v8::Local<v8::String> key;
    if (!v8::String::NewFromUtf8(isolate_, name).ToLocal(&key) ||
        !object_->Get(isolate_->GetCurrentContext(), key).ToLocal(option)) {
      return ok_ = false;
    }
    return true;
  }

  bool fail(const std::string& expected, const char* name) {
    Nan::ThrowTypeError(("Expected " + expected + " for the " + name +
                         " option of " + function_)
                            .c_str());
    return ok_ = false;
  }

  v8::Isolate* isolate_;
  const char* function_;
  v8::Local<v8::Object> object_;
  bool ok_ = true;
};

}  // namespace vantarel

#endif  // SRC_OPTIONS_H_
