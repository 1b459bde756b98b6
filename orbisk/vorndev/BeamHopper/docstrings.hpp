// Documentation texts of orbisk.vorndev.BeamHopper.
#pragma once

namespace beamhopper::doc {

inline constexpr char module[] = "Fast Beam Switch Manager module.";

inline constexpr char start_end_enum[] = "Enum for start and end states.";

inline constexpr char require_beam_pattern_setup[] = R"(Decorator to setup beam pattern before execution and cleanup after.

    The wrapped operation enables beam pattern storage and erases the stored
    pattern before it runs, then disables storage and applies the pattern to
    the BFIC, whatever happened. A failed enable or erase result is returned
    unchanged, and the operation is then not run.
    )";

inline constexpr char beam_hopper[] = "Abstract base class for managing fast beam operations.";

inline constexpr char beam_pattern_mgr[] = "Lazily create the device-specific BeamPatternManager on first use.";
inline constexpr char create_beam_pattern_mgr[] = "Create the device-specific BeamPatternManager instance.";
inline constexpr char fbs_cmd_dict[] = "Return the command list for the fast beam manager.";

inline constexpr char get_fast_parallel_mode[] = "Get the fast parallel mode.";
inline constexpr char set_fast_parallel_mode[] = R"(
        Set the fast parallel mode.

        Args:
            toEnable (bool): Whether to enable or disable the fast parallel mode.
            fbs_mode (FBSMode): The fast beam switch mode to set. Defaults to FBSMode.FULL_GAIN_PHASE.
        )";

inline constexpr char erase_fast_beam_config[] = "Erase the fast beam configuration.";
inline constexpr char sync_fast_beam_config[] = "Update the fast beam configuration.";
inline constexpr char get_fast_beam_gain[] = "Get the fast beam gain.";
inline constexpr char get_fast_beam_pattern[] = "Get the fast beam pattern.";
inline constexpr char set_fast_beam_gain[] = "Set the fast beam gain.";
inline constexpr char set_fast_beam_pattern[] = "Set the fast beam pattern.";

}  // namespace beamhopper::doc
