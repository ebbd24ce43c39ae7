// Requests that cannot carry their names or values are refused before a
// connection is made (dnc::Request says why).
#include "cli/kestrio_dnc_variables.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "base/text.h"
#include "cli/kestrio_dnc_output.h"
#include "dnc/protocol.h"

namespace kestrio::cli {
namespace {

// The service has one table: a name as vars lists it (VERSION, NAME.0) is
// that table's.  One that names its table (KESTRIO.VERSION, in any case)
// goes as it is.
std::string WithTable(const std::string& name) {
  constexpr std::string_view kTable = "KESTRIO.";
  if (name.size() >= kTable.size() && text::EqualsNoCase(std::string_view(name).substr(0, kTable.size()), kTable))
    return name;
  return std::string(kTable) + name;
}

}  // namespace

int ReadCommand(remote::Session& session, const std::vector<std::string>& typed) {
  std::vector<std::string> names;
  for (const auto& name : typed) names.push_back(WithTable(name));
  const dnc::Request request = names.size() == 1 ? dnc::ReadRequest(names[0]) : dnc::ListReadRequest(names);
  if (!request.Ok()) return Refuse(request.problem);
  if (!session.Connect()) return Report(session);
  if (names.size() == 1) {
    std::string value;
    if (!session.Read(names[0], value)) return Report(session);
    Print(value + '\n');
    return 0;
  }
  std::vector<std::string> values;
  if (!session.ReadList(names, values)) return Report(session);
  for (std::size_t k = 0; k < names.size(); ++k) Print(typed[k] + '=' + values[k] + '\n');
  return 0;
}

int WriteCommand(remote::Session& session, const std::vector<std::string>& assignments) {
  std::vector<std::string> names, values;
  for (const auto& item : assignments) {
    const auto equals = item.find('=');
    if (equals == std::string::npos) return Refuse("\"" + item + "\": expected NAME=VALUE");
    names.push_back(WithTable(item.substr(0, equals)));
    values.push_back(item.substr(equals + 1));
  }
  const bool list = names.size() > 1;
  const dnc::Request request = list ? dnc::ListWriteRequest(names, values) : dnc::WriteRequest(names[0], values[0]);
  if (!request.Ok()) return Refuse(request.problem);
  if (!session.Connect() || !(list ? session.WriteList(names, values) : session.Write(names[0], values[0])))
    return Report(session);
  Print("ok\n");
  return 0;
}

int VersionCommand(remote::Session& session) {
  std::string version;
  if (!session.Connect() || !session.Version(version)) return Report(session);
  Print(text::Printable(version) + '\n');
  return 0;
}

// The service lists its variables by name alone; the two that take an
// index are listed with it, as read takes them.
int VarsCommand(remote::Session& session) {
  static constexpr std::pair<std::string_view, std::string_view> kIndexed[] = {
      {"NAME", "NAME.<k>  (the k-th pack found, from 0)"}, {"ERROR", "ERROR.<code>  (the text of an error code)"}};
  std::string list;
  if (!session.Connect() || !session.Read("KESTRIO.@LIST", list)) return Report(session);
  std::size_t start = 0;
  while (start <= list.size()) {
    const auto end = std::min(list.find(';', start), list.size());
    std::string name = list.substr(start, end - start);
    for (const auto& [bare, indexed] : kIndexed)
      if (name == bare) name = indexed;
    if (!name.empty()) Print(text::Printable(name) + '\n');
    start = end + 1;
  }
  return 0;
}

}  // namespace kestrio::cli
