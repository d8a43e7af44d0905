// --ini: an orvado.ini written from channel URLs.
#include "options.h"

namespace cli {

bool iniForChannels(const std::vector<std::string>& channels, std::string& text, std::string* error) {
  if (channels.size() > 9) {
    *error = "--ini names " + std::to_string(channels.size()) + " channels; a receiver keeps nine at most";
    return false;
  }
  text = "; channels from orvado-emu --ini\n[orvado]\n";
  for (size_t i = 0; i < channels.size(); ++i) {
    std::string name = "Channel " + std::to_string(i + 1), url = channels[i];
    // "NAME=URL", where the name has no ':' or '/': an URL alone may hold '='
    // in its query.
    size_t eq = url.find('=');
    if (eq != std::string::npos && url.substr(0, eq).find_first_of(":/") == std::string::npos) {
      name = url.substr(0, eq);
      url = url.substr(eq + 1);
    }
    if (url.empty() || url.find_first_of("\r\n") != std::string::npos ||
        name.find_first_of("\r\n") != std::string::npos) {
      *error = "bad channel for --ini \"" + channels[i] + "\": expected URL or NAME=URL on one line";
      return false;
    }
    text += "tvname" + std::to_string(i + 1) + "=" + name + "\n";
    text += "tvPL" + std::to_string(i + 1) + "=" + url + "\n";
  }
  return true;
}

}  // namespace cli
