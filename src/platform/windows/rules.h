#pragma once

// The decisions of the Windows layer that depend on no system call, so that
// the unit tests can put given names, reparse tags and volume flags to them.

#include "platform/platform.h"

namespace tarn::platform {

// The end of the first element at or after `from` that the system would trim
// when it reads a typed path (one ending in a dot or a space, other than "."
// and ".."), or npos when there is none.
std::size_t trimmed_element_end(native_view path, std::size_t from);

// Whether a new name names a drive with no root directory behind it
// ("X:name"), which the system resolves in that drive's current directory,
// where the report could not say. Allowed where the entry itself was listed
// under the same bare drive, as its new name then is on purpose.
bool is_refused_drive_relative(native_view new_name, native_view listed);

// Whether a file that is a reparse point of this kind stays where it is when
// it would have to be copied to another volume: links and junctions (and a
// reparse point of no stated kind, as Wine shows Unix links) lead elsewhere,
// and a socket or an execution alias has no data of its own.
bool copy_refuses_reparse_tag(unsigned long tag);

// Whether a reparse point of this kind is a special file (a socket, an
// execution alias) rather than a file with data, whatever its attributes say.
bool is_special_reparse_tag(unsigned long tag);

// Whether copying a file with this many named streams to a volume with these
// file-system flags (zero when the volume could not say) would lose streams.
bool streams_would_be_lost(std::size_t named_streams, unsigned long volume_flags);

// The access a move to another volume asks for on a source with these
// attributes: the write-attributes right only where the read-only bit has to
// be cleared before the source can be deleted.
unsigned long source_access(unsigned long attributes);

}  // namespace tarn::platform
