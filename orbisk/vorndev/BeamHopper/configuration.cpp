// Fast beam configuration: erase and synchronise (run inside the setup bracket,
// which module.cpp applies), and the base versions of the abstract gain and
// pattern operations. The base versions convert their arguments as declared,
// so a bad argument is refused with a TypeError, then raise NotImplementedError.
#include "BeamHopper.hpp"

namespace beamhopper {

using interop::number_to_float;
using interop::number_to_int;

Owned erase_fast_beam_config(Call& call, Ref) { return interop::call(Module(call).global("RetType"_n)); }

Owned sync_fast_beam_config(Call& call, Ref self) { return Module(call).call_method(self, "_reboot"_n); }

Owned get_fast_beam_gain(Call& call, Ref, Ref, Ref beam_id)
{
    number_to_int(call, "beam_id", beam_id);
    interop::raise(PyExc_NotImplementedError);
}

Owned get_fast_beam_pattern(Call& call, Ref, Ref beam_id)
{
    number_to_int(call, "beam_id", beam_id);
    interop::raise(PyExc_NotImplementedError);
}

Owned set_fast_beam_gain(Call& call, Ref, Ref, Ref beam_id, Ref enable, Ref com_gain, Ref ele_gain)
{
    number_to_int(call, "beam_id", beam_id);
    interop::truthy(enable);
    number_to_int(call, "com_gain", com_gain);
    number_to_int(call, "ele_gain", ele_gain);
    interop::raise(PyExc_NotImplementedError);
}

Owned set_fast_beam_pattern_theta_phi(Call& call, Ref, Ref beam_id, Ref rf_freq, Ref theta, Ref phi)
{
    number_to_int(call, "beam_id", beam_id);
    number_to_float(call, "rf_freq", rf_freq);
    number_to_float(call, "theta", theta);
    number_to_float(call, "phi", phi);
    interop::raise(PyExc_NotImplementedError);
}

Owned set_fast_beam_pattern_az_el(Call& call, Ref, Ref beam_id, Ref rf_freq, Ref azimuth, Ref elevation)
{
    number_to_int(call, "beam_id", beam_id);
    number_to_float(call, "rf_freq", rf_freq);
    number_to_float(call, "azimuth", azimuth);
    number_to_float(call, "elevation", elevation);
    interop::raise(PyExc_NotImplementedError);
}

}  // namespace beamhopper
