// Fast beam configuration: erase and synchronise (run inside the setup bracket,
// which module.cpp applies), and the base versions of the abstract gain and
// pattern operations. The base versions convert their arguments as declared,
// so a bad argument is refused with a TypeError, then raise NotImplementedError.
#include "BeamHopper.hpp"

namespace beamhopper {

using interop::float_from_number;
using interop::int_from_number;

Owned erase_fast_beam_config(Call& call, Ref) { return interop::call(Module(call).global("RetType"_n)); }

Owned sync_fast_beam_config(Call& call, Ref self) { return Module(call).call_method(self, "_reboot"_n); }

Owned get_fast_beam_gain(Call& call, Ref, Ref, Ref beam_id)
{
    int_from_number(call, "beam_id", beam_id);
    interop::raise(PyExc_NotImplementedError);
}

Owned get_fast_beam_pattern(Call& call, Ref, Ref beam_id)
{
    int_from_number(call, "beam_id", beam_id);
    interop::raise(PyExc_NotImplementedError);
}

Owned set_fast_beam_gain(Call& call, Ref, Ref, Ref beam_id, Ref enable, Ref com_gain, Ref ele_gain)
{
    int_from_number(call, "beam_id", beam_id);
    interop::truthy(enable);
    int_from_number(call, "com_gain", com_gain);
    int_from_number(call, "ele_gain", ele_gain);
    interop::raise(PyExc_NotImplementedError);
}

Owned set_fast_beam_pattern_theta_phi(Call& call, Ref, Ref beam_id, Ref rf_freq, Ref theta, Ref phi)
{
    int_from_number(call, "beam_id", beam_id);
    float_from_number(call, "rf_freq", rf_freq);
    float_from_number(call, "theta", theta);
    float_from_number(call, "phi", phi);
    interop::raise(PyExc_NotImplementedError);
}

Owned set_fast_beam_pattern_az_el(Call& call, Ref, Ref beam_id, Ref rf_freq, Ref azimuth, Ref elevation)
{
    int_from_number(call, "beam_id", beam_id);
    float_from_number(call, "rf_freq", rf_freq);
    float_from_number(call, "azimuth", azimuth);
    float_from_number(call, "elevation", elevation);
    interop::raise(PyExc_NotImplementedError);
}

}  // namespace beamhopper
