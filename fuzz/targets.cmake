# The fuzz targets, one per input the program parses: fuzz/<name>.cpp defines its
# LLVMFuzzerTestOneInput and fuzz/corpus/<name>/ holds its seeds.
set(PELLAN_FUZZ_TARGETS
    fuzz_diag_reply
    fuzz_dmss_reply
    fuzz_stream_reply
    fuzz_stream_scan
    fuzz_at_reply
    fuzz_reg_file
    fuzz_settings_file
    fuzz_nvm_file
    fuzz_location_scan)
