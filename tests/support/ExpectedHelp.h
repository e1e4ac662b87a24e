// The help text as the program must print it, byte for byte: the golden
// copy shared by the option-parser tests and the whole-program tests.
#pragma once

namespace testdata {

inline constexpr const char* expectedHelp =
    "This program is an implementation of project Q17 for MORV.\n"
    "Version: 0.27\n"
    "Date of release: 2005.11.09\n"
    "\n"
    "You can use the following options:\n"
    "-c                 - compress\n"
    "-e                 - extract\n"
    "-v, --verbose      - trigger additional messages\n"
    "-o filename        - output filename (when not supplied xoutput is chosen)\n"
    "-b blocksize       - set fixed block size\n"
    "-m, --mtf0         - use MTF transform\n"
    "-r, --rle0         - use RLE0 coding\n"
    "--norle0           - force compressor not to use rle0\n"
    "-d, --dc           - use DC transform\n"
    "-a                 - use adaptive arithmetic coding\n"
    "-s                 - use static arithmetic coding\n"
    "--bwt_output filaname   - print data after BWT transform to file\n"
    "--mtf_output filename   - print data after MTF transform to file\n"
    "--rle0_output           - print data after RLE0 coding to file\n"
    "--dc_output             - print data after DC coding to file\n"
    "--input_histogram       - generate file with input symbols histogram\n"
    "--mtf_histogram         - generate file with histogram of symbols after\n"
    "                          MTF transform\n"
    "--rle0_histogram        - generate file with histogram of symbols after\n"
    "                          RLE0 coding\n"
    "--dc_histogram          - generate file with histogram of symbols after\n"
    "                          DC coding\n"
    "--suffixes_output filename     - print sorted list of suffixes to file\n"
    "--suffixes_output_max_size num - limit printed suffix length (print \n"
    "                                 only num first symbols). this option\n"
    "                                 should be used only in combination \n"
    "                                 with --suffixes_output.\n"
    "--suffix_array_output filename - print suffix array (only indices) to \n"
    "                                 a file\n"
    "--test filename                - option to be used when compressing. forces\n"
    "                                 compressor to automaticly decompress file\n"
    "                                 and check for file contents equality\n"
    "\n"
    "Examples of use:\n"
    "morv-Q17 -c file1 -o compressedfile1 -m -r -b 10000\n"
    "morv-Q17 -e compressedfile1 -o file1 --verbose\n"
    "morv-Q17 -c --dc file1 --dc_histogram dchist.txt\n";

}  // namespace testdata
