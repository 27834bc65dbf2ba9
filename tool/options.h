// plc-host's command line: one table of options (fed to QCommandLineParser,
// which also writes --help), applied over the project file, then resolved
// into the variables and writes to run.
#ifndef PLCHOST_OPTIONS_H
#define PLCHOST_OPTIONS_H

#include <QtCore/QStringList>
#include <string>

#include "host_config.h"

namespace plchost {

// args as main receives them, program name first. Defaults, then the
// project file (-f) if given, then the other options. False with a message
// for anything it cannot take: plc-host exits 2.
bool parseCommandLine(const QStringList& args, HostConfig* cfg, std::string* error);

// A write typed as [S/]T[:FMT]:ADDR=V[,V...][@SEC]. Without S/ it goes to
// defaultStation; stationNamed says whether S/ was there.
bool parseWriteText(const std::string& text, int defaultStation, ScheduledWrite* w,
                    bool* stationNamed, std::string* error);

std::string helpText();

}  // namespace plchost

#endif  // PLCHOST_OPTIONS_H
