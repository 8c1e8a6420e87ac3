#pragma once
// Which source a prepared file was made from.
//
// The size and modification time of the source are kept in an extended
// attribute of the prepared file ("user.velmora.source"), not in its bytes:
// sample files stay byte for byte what every station and tool reads, and no
// second file can go astray. The attribute is set on the temporary file
// before it is renamed into place, so a prepared file and its record always
// come together. A file without the record (made before it was kept, copied
// without its attributes, on a file system that keeps none) is never taken
// as made from any source: it is made again.

#include <cstdio>
#include <string>

// Records `source` as it is now on the open `output`. 1, or 0 with errno set
// when the file system keeps no such attribute or the source cannot be looked at.
int record_source(FILE* output, const std::string& source);

// Whether `output` holds the record of `source` as it is now.
bool made_from(const std::string& output, const std::string& source);
