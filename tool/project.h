// The JSON project file. Every object kind has one table of the keys it
// takes (type, required or not, and what a value sets); unknown keys, values
// of the wrong type or out of range, repeated keys and missing required keys
// are errors given as "FILE:LINE:COLUMN: path: what", e.g.
// "project.json:12:5: variables[2].count: expected an integer".
#ifndef PLCHOST_PROJECT_H
#define PLCHOST_PROJECT_H

#include <QtCore/QByteArray>
#include <string>

#include "host_config.h"

namespace plchost {

// Reads the file at path into cfg; what the file leaves out keeps the value
// cfg had. On failure cfg may be partly changed and error says why.
bool loadProject(const std::string& path, HostConfig* cfg, std::string* error);
// The same for text already read; fileName only labels the messages.
bool parseProject(const QByteArray& text, const std::string& fileName, HostConfig* cfg,
                  std::string* error);

}  // namespace plchost

#endif  // PLCHOST_PROJECT_H
