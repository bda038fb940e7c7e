#pragma once

namespace korvene {

// Eight lower-case hex digits that tell builds apart: the first four bytes of
// the SHA-256 of the embedded firmware pack, computed when the pack is embedded
// (defined in the generated pack source beside kFirmwarePack).
extern const char kBuildIdentifier[];

}  // namespace korvene
