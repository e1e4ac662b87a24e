// Every "Error in compressed file (...)" text: the messages that name the
// check a damaged packed file failed. One list, so the layers that make the
// checks use the same words and a reader of the program finds them together.
#pragma once

// The bit stream's code ends where no encoder ends one.
inline constexpr const char* kCodedEndMessage = "Error in compressed file (invalid end of coded data)";
// The inverse transform's walk does not pass through every row once.
inline constexpr const char* kInvalidBwtMessage = "Error in compressed file (invalid BWT column)";
// The first suffix index is not below the block length.
inline constexpr const char* kFirstIndexMessage =
    "Error in compressed file (first suffix index out of range)";
// Distance-coding values that describe no column.
inline constexpr const char* kInvalidDcDataMessage = "Error in compressed file (invalid DC data)";
// A zero run whose digits run on past 32 bits.
inline constexpr const char* kRle0TooLongMessage = "Error in compressed file (to long coded RLE0 run)";
// A zero run longer than what is left of the block.
inline constexpr const char* kRle0OverrunMessage =
    "Error in compressed file (RLE0 run exceeds file size)";
// The static coder's stored frequency table is no table its encoder writes.
inline constexpr const char* kInvalidTableMessage = "Error in compressed file (invalid frequency table)";
// The code ends elsewhere than the block header's payload size says.
inline constexpr const char* kPayloadSizeMismatchMessage =
    "Error in compressed file (payload size does not match the coded data)";
// A block header right after the last block the unpacked size allows.
inline constexpr const char* kBlockBeyondSizeMessage =
    "Error in compressed file (block beyond the unpacked size)";
