// Turns message cases into their SMS-SUBMIT PDUs, for a check by an
// independent decoder. One case per input line, tab-separated:
//   number  parts  alphabet  report(0/1)  reference  text as UTF-16 hex (4 digits a unit)
// One output line per case: "<cmgs length>:<pdu>" for each part, space-separated.
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "sms/SubmitParts.h"

namespace {

bool ParseUnits(const std::string& hex, std::u16string& out) {
  if (hex.size() % 4 != 0) return false;
  for (std::size_t i = 0; i < hex.size(); i += 4) {
    out.push_back(static_cast<char16_t>(std::stoul(hex.substr(i, 4), nullptr, 16)));
  }
  return true;
}

}  // namespace

int main() {
  std::string line;
  int lineNo = 0;
  while (std::getline(std::cin, line)) {
    ++lineNo;
    std::istringstream fields(line);
    std::string number, parts, alphabet, report, reference, hex;
    std::getline(fields, number, '\t');
    std::getline(fields, parts, '\t');
    std::getline(fields, alphabet, '\t');
    std::getline(fields, report, '\t');
    std::getline(fields, reference, '\t');
    std::getline(fields, hex, '\t');
    std::u16string text;
    if (reference.empty() || !ParseUnits(hex, text)) {
      std::fprintf(stderr, "pdu_filter: line %d is not a case\n", lineNo);
      return 2;
    }
    varnix::SubmitOptions options;
    options.parts = std::stoi(parts);
    options.alphabet = std::stoi(alphabet);
    options.statusReport = report == "1";
    options.reference = static_cast<std::uint8_t>(std::stoi(reference));
    const auto pdus = varnix::BuildSubmitParts(number, text, options);
    std::string out;
    for (const auto& p : pdus) {
      if (!out.empty()) out += ' ';
      out += std::to_string(p.cmgsLength) + ':' + p.pdu;
    }
    std::cout << out << '\n';
  }
  return 0;
}
