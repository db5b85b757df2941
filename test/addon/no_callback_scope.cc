// Test-only addon: calls script from a libuv callback the way some addons
// do, with a plain v8::Function::Call under a TryCatch and no callback scope
// open, so the host's callback scope depth is zero during the call.
#include <node.h>
#include <uv.h>

namespace {

struct Call {
  v8::Isolate* isolate;
  v8::Global<v8::Context> context;
  v8::Global<v8::Function> fn;
  v8::Global<v8::Function> done;
  uv_timer_t timer;
};

void Closed(uv_handle_t* handle) { delete static_cast<Call*>(handle->data); }

// Calls fn(), then done(error, result) through the host, where error is
// what fn threw and result what it returned.
void Fire(uv_timer_t* timer) {
  auto* call = static_cast<Call*>(timer->data);
  v8::Isolate* isolate = call->isolate;
  {
    v8::HandleScope scope(isolate);
    v8::Local<v8::Context> context = call->context.Get(isolate);
    v8::Context::Scope context_scope(context);
    v8::Local<v8::Value> error = v8::Undefined(isolate);
    v8::Local<v8::Value> result = v8::Undefined(isolate);
    {
      v8::TryCatch try_catch(isolate);
      v8::Local<v8::Value> value;
      if (call->fn.Get(isolate)
              ->Call(context, context->Global(), 0, nullptr)
              .ToLocal(&value)) {
        result = value;
      }
      if (try_catch.HasCaught()) error = try_catch.Exception();
    }
    v8::Local<v8::Value> argv[] = {error, result};
    node::MakeCallback(isolate, context->Global(), call->done.Get(isolate), 2,
                       argv, node::async_context{0, 0});
  }
  uv_close(reinterpret_cast<uv_handle_t*>(timer), Closed);
}

// call(fn, done): calls fn from the loop's next timer phase.
void Schedule(const v8::FunctionCallbackInfo<v8::Value>& info) {
  v8::Isolate* isolate = info.GetIsolate();
  if (info.Length() < 2 || !info[0]->IsFunction() || !info[1]->IsFunction()) {
    isolate->ThrowException(v8::Exception::TypeError(
        v8::String::NewFromUtf8Literal(isolate, "Expected two functions")));
    return;
  }
  auto* call =
      new Call{isolate,
               v8::Global<v8::Context>(isolate, isolate->GetCurrentContext()),
               v8::Global<v8::Function>(isolate, info[0].As<v8::Function>()),
               v8::Global<v8::Function>(isolate, info[1].As<v8::Function>()),
               {}};
  uv_timer_init(node::GetCurrentEventLoop(isolate), &call->timer);
  call->timer.data = call;
  uv_timer_start(&call->timer, Fire, 0, 0);
}

}  // namespace

NODE_MODULE_INIT() {
  v8::Isolate* isolate = v8::Isolate::GetCurrent();
  exports
      ->Set(context, v8::String::NewFromUtf8Literal(isolate, "call"),
            v8::FunctionTemplate::New(isolate, Schedule)
                ->GetFunction(context)
                .ToLocalChecked())
      .Check();
}
