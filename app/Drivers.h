// The compression and extraction drivers: whole files, block by block.
#pragma once

#include <cstdint>
#include <string>

// Packs `inputName` into `packedName`; returns the packed size in bytes.
// Throws Exception on any failure (messages fixed by the file format's tools).
uint32_t compressFile(const std::string& inputName, const std::string& packedName);

// Restores the file packed in `packedName` into `outputName`.
void decompressFile(const std::string& packedName, const std::string& outputName);
