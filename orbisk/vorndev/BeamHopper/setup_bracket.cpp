// The setup bracket: _require_beam_pattern_setup and the wrapper it returns.
// Storage is enabled and the stored pattern erased before the operation runs;
// storage is disabled and the pattern applied to the BFIC afterwards, whatever
// happened, as a finally block does.
#include "BeamHopper.hpp"

namespace beamhopper {

namespace {

Owned call_with_user_delay(const Module& module, Ref self, Name name)
{
    return interop::call(hook(module, self, name), {}, {{module.name("user_delay"_n), interop::integer(2)}});
}

// (self, *args)
Owned with_self(Ref self, Ref args)
{
    Py_ssize_t count = PyTuple_GET_SIZE(args.get());
    Owned positional = interop::checked(PyTuple_New(count + 1));
    PyTuple_SET_ITEM(positional.get(), 0, Owned::ref(self).release());
    for (Py_ssize_t index = 0; index < count; ++index)
        PyTuple_SET_ITEM(positional.get(), index + 1, Owned::ref(PyTuple_GET_ITEM(args.get(), index)).release());
    return positional;
}

// Enable, erase, then func(self, *args, **kwargs); a failed enable or erase result is the operation's result.
Owned set_up_and_run(const Module& module, Ref self, Ref func, Ref args, Ref kwargs)
{
    Owned enabled = call_hook(module, self, "_setBeamPatternEnable"_n, interop::text("1"));
    if (!succeeded(module, "_setBeamPatternEnable"_n, enabled)) return enabled;
    Owned erased = call_with_user_delay(module, self, "_eraseBeamPattern"_n);
    if (!succeeded(module, "_eraseBeamPattern"_n, erased)) return erased;
    // kwargs is the wrapper's own dict, so func gets a copy of the caller's keywords.
    return interop::checked(PyObject_Call(func, with_self(self, args).get(), kwargs));
}

// The cleanup; results are not looked at.
void clean_up(const Module& module, Ref self)
{
    call_hook(module, self, "_setBeamPatternEnable"_n, interop::text("0"));
    call_with_user_delay(module, self, "_applyBeamPatternToBFIC"_n);
}

// wrapper(self, *args, **kwargs); the payload is the undecorated operation.
Owned run_in_setup_bracket(Call& call, Ref self, Ref args, Ref kwargs)
{
    Module module(call);
    Ref func = call.payload();
    return interop::try_finally([&] { return set_up_and_run(module, self, func, args, kwargs); },
                                [&] { clean_up(module, self); });
}

constexpr interop::FunctionDef kWrapper = interop::function_def<run_in_setup_bracket>(
    "_require_beam_pattern_setup.<locals>.wrapper", "(self, *args, **kwargs)", nullptr);

// func.__signature__ if func has a true one, else inspect.signature(func).
Owned presented_signature(const Module& module, Ref func)
{
    Owned own = interop::find_attr(func, module.name("__signature__"_n));
    if (own && interop::truthy(own)) return own;
    return module.call_method(module.global("inspect"_n), "signature"_n, func);
}

}  // namespace

Owned require_beam_pattern_setup(Call& call, Ref func)
{
    Module module(call);
    Owned signature = presented_signature(module, func);
    Owned wrapper = interop::make_function(module.module(), kWrapper, func);
    wrapper = interop::call(interop::call(module.global("wraps"_n), func), wrapper);
    module.set_attr(wrapper, "__signature__"_n, signature);
    return wrapper;
}
extern constexpr FunctionDef require_beam_pattern_setup_def = function_def<require_beam_pattern_setup>(
    "_require_beam_pattern_setup", "(func: Callable[..., RetType]) -> Callable[..., RetType]",
    R"(Decorator to setup beam pattern before execution and cleanup after.

    The wrapped operation enables beam pattern storage and erases the stored
    pattern before it runs, then disables storage and applies the pattern to
    the BFIC, whatever happened. A failed enable or erase result is returned
    unchanged, and the operation is then not run.
    )");

}  // namespace beamhopper
