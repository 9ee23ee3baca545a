// What the tester keeps between runs: the system, the last port and rate,
// in the user's settings file ($XDG_CONFIG_HOME/quorrin/quorrin.ini, else
// ~/.config/quorrin/quorrin.ini), section [Tester].
#pragma once

#include <string>

namespace tester {

struct StoredChoice {
    std::string system = "selectrix";
    std::string port; // empty: none kept
    long baud = 0;    // 0: none kept
};

// The settings file's path.
std::string ChoiceFile();

// The choice in `file`; the defaults when the file does not exist. A file
// that cannot be read or holds what no save of ours wrote gives the
// defaults too, with `problem` saying why (otherwise `problem` is empty).
StoredChoice LoadChoice(const std::string& file, std::string& problem);

// Saves the choice, creating the folder when needed. `replace`: the file
// was found damaged; it is moved aside to "<file>.damaged" first, so the
// save starts afresh and nothing of it is lost. Raises on failure.
void SaveChoice(const std::string& file, const StoredChoice& choice, bool replace);

} // namespace tester
