#pragma once

#include <cstdint>
#include <string>

#include "disk/ewf_segments.hpp"

namespace tolvar {

// Checks a qcow file's header, its L1 table and every L2 table it points
// to against the file's size before the image library reads them: the
// library trusts these figures and reads past its buffers when they are
// wrong. Returns an empty string when the tables are sound, else what is
// wrong, a fragment without the file's name (e.g. "its L1 table lies past
// the end of the file").
[[nodiscard]] std::string CheckQcowTables(const SegmentReader& read, std::uint64_t fileSize);

}  // namespace tolvar
