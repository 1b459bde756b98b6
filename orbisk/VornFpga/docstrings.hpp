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

inline constexpr char fpga_program_file[] =
    "Write an image file to the FPGA in 16-byte blocks, read it back and compare the SHA-256 digests.";
inline constexpr char check_control_fw_version[] = "Check if the control firmware version is compatible.";
inline constexpr char check_update_file[] = "Check that the image file exists, is a .bin or .tbin file and can be read.";
inline constexpr char check_file_header[] = "Check the header and keyed hashes of a signed (.tbin) image file.";

inline constexpr char init_fpga[] = R"(
        Initialize FPGA.

        Arguments:
            device_type: The type of the FPGA device.
            disable_fw_check: If True, skip firmware version check.

        Return:
            RetType whose RetData is a dict containing initialization result and device information:
            {
                'success': bool,
                'error_message': str,
                'device_count': int,
                'device_info': dict,
                'fpga_id': str,
                'fw_version': str
            }
        )";

inline constexpr char set_progress_callback[] = R"(
        Set progress callback function.

        Arguments:
            callback: The callback function to be called on progress updates.
        )";

inline constexpr char process_fpga_update[] = R"(
        Process FPGA update with the given image path.

        Arguments:
            image_path: The path to the FPGA image file.
            device_type: The type of the device (default is 32).

        Return:
            RetType whose RetData is a dict containing update result:
            {
                'success': bool,
                'error_message': str,
                'fw_version': str
            }
        )";

inline constexpr char delete_temp_file[] =
    "Remove temporary files of the tool. The tool creates none, so there is nothing to remove.";

inline constexpr char disconnect[] = R"(
        Close the connection and clean up.
        )";

}  // namespace vornfpga::doc
