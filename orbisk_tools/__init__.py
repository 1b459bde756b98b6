"""Tools around the orbisk native modules: signing FPGA images."""
