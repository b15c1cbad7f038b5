#pragma once

#include "transfers/projectentry.h"

#include <QByteArray>
#include <QVector>

// A fast reader for the farm's largest message, the projects list: one pass
// over the UTF-8 text straight into the entries the merge takes, without
// Qt's JSON document and its look-ups member by member. It reads only a list
// of the plain form {"action":"getProjectStates","data":{"projects":[...]}}
// whose elements are flat objects; for anything else (another action, more
// members, nested values, a member name given twice, a text the parser does
// not accept) it answers false and the message takes the general way.
namespace ProjectsListReader {

bool read(const QByteArray& text, QVector<ProjectEntry>* entries);

} // namespace ProjectsListReader
