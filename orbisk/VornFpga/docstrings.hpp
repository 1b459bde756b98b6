// Documentation texts of FpgaTool's operations.
#pragma once

namespace vornfpga::doc {

inline constexpr char init[] = R"(
        Initialize the FPGA tool.

        Args:
            connection: An existing DevConnection (e.g. _TCPConn) instance.
            address: IP address of the device. Creates a new TCP connection if provided.
            port: TCP port number (default 5025).
        )";

inline constexpr char get_recv[] = "Receive data from the FPGA.";
inline constexpr char send_cmd[] = "Send a command to the FPGA and receive the response.";

inline constexpr char fpga_ctrl_init[] = "Initialize the FPGA control.";
inline constexpr char fpga_get_id[] = "Get the FPGA ID.";
inline constexpr char fpga_get_version[] = "Get the FPGA version.";
inline constexpr char fpga_cfg_mode[] = "Configure the FPGA mode.";
inline constexpr char fpga_erase[] = "Erase the FPGA memory.";
inline constexpr char fpga_rst_page_ptr[] = "Reset the FPGA page pointer.";
inline constexpr char fpga_program[] = "Program the FPGA with the given data block.";
inline constexpr char fpga_read[] = "Read data from the FPGA.";
inline constexpr char fpga_done[] = "Mark the FPGA programming as done.";
inline constexpr char fpga_refresh[] = "Refresh the FPGA.";
inline constexpr char fpga_get_info[] = "Get the FPGA information.";
inline constexpr char fpga_get_control_fw_ver[] = "Get the FPGA control firmware version.";
inline constexpr char fpga_get_serial_number[] = "Get the FPGA serial number.";

inline constexpr char check_control_fw_version[] = "Check if the control firmware version is compatible.";

inline constexpr char delete_temp_file[] =
    "Remove temporary files of the tool. The tool creates none, so there is nothing to remove.";

inline constexpr char disconnect[] = R"(
        Close the connection and clean up.
        )";

}  // namespace vornfpga::doc
