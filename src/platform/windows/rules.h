#pragma once

// The decisions of the Windows layer that depend on no system call, so that
// the unit tests can put given names, reparse tags and volume flags to them.

#include "platform/platform.h"

namespace tarn::platform {

// Whether an entry with these attributes leads elsewhere: a junction, a
// symbolic link or another name surrogate, or a reparse point of no stated
// kind (Wine shows the Unix symbolic links so).
bool is_link(unsigned long attributes, unsigned long tag);

// Who owns a junction or link met on a new name's way, as far as following
// it goes.
enum class owner_kind { self, administrators, system, trusted_installer, other };

// The kind of an owner given as SID text ("S-1-5-18"), against the SID text
// of the user running the program; an owner that could not be read (empty
// text) is someone else.
owner_kind kind_of_owner(std::wstring_view owner, std::wstring_view user);

// Whether a junction or link with an owner of this kind is followed on a new
// name's way. Only the user's own, and those of the accounts that own the
// system anyway, are: anyone else who can write the tree could otherwise
// send the user's files into a directory of theirs, or their own files into
// one of the user's.
bool follows_link_of(owner_kind owner);

// How a new name's way goes on from a directory for one of its elements:
// "." stays, ".." goes back to the directory it came from, and any other
// text (also "..." or ". ") is a name looked up as it is.
enum class way_step { stay, back, name };
way_step way_step_of(native_view element);

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
