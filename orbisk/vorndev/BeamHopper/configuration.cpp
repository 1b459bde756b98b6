// Fast beam configuration: erase and synchronise (run inside the setup bracket,
// which module.cpp applies), and the base versions of the abstract gain and
// pattern operations. The base versions convert their arguments as declared,
// so a bad argument is refused with a TypeError, then raise NotImplementedError.
#include "BeamHopper.hpp"

namespace beamhopper {

using interop::Arg;
using interop::float_from_number;
using interop::int_from_number;

Owned erase_fast_beam_config(Call& call, Ref) { return interop::call(Module(call).global("RetType"_n)); }
constexpr FunctionDef erase_fast_beam_config_def = function_def<erase_fast_beam_config>(
    "BeamHopper.eraseFastBeamConfig", "(self) -> RetType", "Erase the fast beam configuration.");

Owned sync_fast_beam_config(Call& call, Ref self) { return call_hook(Module(call), self, "_reboot"_n); }
constexpr FunctionDef sync_fast_beam_config_def = function_def<sync_fast_beam_config>(
    "BeamHopper.syncFastBeamConfig", "(self) -> RetType", "Update the fast beam configuration.");

Owned get_fast_beam_gain(Call& call, Ref, Ref, Arg beam_id)
{
    int_from_number(call, beam_id);
    interop::raise(PyExc_NotImplementedError);
}
constexpr FunctionDef get_fast_beam_gain_def = function_def<get_fast_beam_gain>(
    "BeamHopper.getFastBeamGain", "(self, rf_mode: RFMode, beam_id: int) -> RetType", "Get the fast beam gain.");

Owned get_fast_beam_pattern(Call& call, Ref, Arg beam_id)
{
    int_from_number(call, beam_id);
    interop::raise(PyExc_NotImplementedError);
}
constexpr FunctionDef get_fast_beam_pattern_def = function_def<get_fast_beam_pattern>(
    "BeamHopper.getFastBeamPattern", "(self, beam_id: int) -> RetType", "Get the fast beam pattern.");

Owned set_fast_beam_gain(Call& call, Ref, Ref, Arg beam_id, Ref enable, Arg com_gain, Arg ele_gain)
{
    int_from_number(call, beam_id);
    interop::truthy(enable);
    int_from_number(call, com_gain);
    int_from_number(call, ele_gain);
    interop::raise(PyExc_NotImplementedError);
}
constexpr FunctionDef set_fast_beam_gain_def = function_def<set_fast_beam_gain>(
    "BeamHopper.setFastBeamGain",
    "(self, rf_mode: RFMode, beam_id: int, enable: bool, com_gain: int = 0, ele_gain: int = 0) -> RetType",
    "Set the fast beam gain.");

Owned set_fast_beam_pattern_theta_phi(Call& call, Ref, Arg beam_id, Arg rf_freq, Arg theta, Arg phi)
{
    int_from_number(call, beam_id);
    float_from_number(call, rf_freq);
    float_from_number(call, theta);
    float_from_number(call, phi);
    interop::raise(PyExc_NotImplementedError);
}
constexpr FunctionDef set_fast_beam_pattern_theta_phi_def = function_def<set_fast_beam_pattern_theta_phi>(
    "BeamHopper.setFastBeamPatternThetaPhi",
    "(self, beam_id: int, rf_freq: float, theta: float, phi: float) -> RetType", "Set the fast beam pattern.");

Owned set_fast_beam_pattern_az_el(Call& call, Ref, Arg beam_id, Arg rf_freq, Arg azimuth, Arg elevation)
{
    int_from_number(call, beam_id);
    float_from_number(call, rf_freq);
    float_from_number(call, azimuth);
    float_from_number(call, elevation);
    interop::raise(PyExc_NotImplementedError);
}
constexpr FunctionDef set_fast_beam_pattern_az_el_def = function_def<set_fast_beam_pattern_az_el>(
    "BeamHopper.setFastBeamPatternAzEl",
    "(self, beam_id: int, rf_freq: float, azimuth: float, elevation: float) -> RetType", "Set the fast beam pattern.");

constexpr Operation kOperations[] = {
    {Kind::bracketed, &erase_fast_beam_config_def},
    {Kind::abstract, &get_fast_beam_gain_def},
    {Kind::abstract, &get_fast_beam_pattern_def},
    {Kind::abstract, &set_fast_beam_gain_def},
    {Kind::abstract, &set_fast_beam_pattern_theta_phi_def},
    {Kind::abstract, &set_fast_beam_pattern_az_el_def},
    {Kind::bracketed, &sync_fast_beam_config_def},
};
const std::span<const Operation> configuration_operations{kOperations};

}  // namespace beamhopper
