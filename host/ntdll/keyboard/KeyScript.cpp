// Key scripts: "T:KEY,..." parsed into strokes, and a thread that queues each key in the device at its time.
#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "host/ntdll/keyboard/Keyboard.h"
#include "host/ntdll/keyboard/KeyboardDevice.h"

namespace host {
namespace {

std::chrono::steady_clock::time_point g_processStart = std::chrono::steady_clock::now();
// A forked child is a process of its own (each BootExecute program runs in one): its keys count from the fork.
[[maybe_unused]] const int g_forkHook =
    pthread_atfork(nullptr, nullptr, [] { g_processStart = std::chrono::steady_clock::now(); });

constexpr size_t kMaximumTimeDigits = 9;  // a bit over a day in milliseconds

std::string LowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

std::string Trimmed(const std::string& text) {
  size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// Takes the "shift+", "ctrl+" and "alt+" in front of a key off `key` and returns them as modifier bits. A '+' that
// is the whole rest is the key '+', not a separator.
unsigned TakeModifiers(std::string* key) {
  unsigned modifiers = 0;
  for (;;) {
    size_t plus = key->find('+');
    if (plus == std::string::npos || plus == 0) return modifiers;
    std::string name = LowerCase(key->substr(0, plus));
    unsigned bit = name == "shift" ? kModifierShift : name == "ctrl" ? kModifierCtrl : name == "alt" ? kModifierAlt : 0;
    if (bit == 0) return modifiers;
    modifiers |= bit;
    key->erase(0, plus + 1);
  }
}

// Splits the script at the commas between items. A key takes at least one character, and one right after its
// modifiers, so "10:," and "10:shift+," keep their comma.
std::vector<std::string> SplitItems(const std::string& text) {
  std::vector<std::string> items;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(',', start);
    size_t colon = text.find(':', start);
    if (colon != std::string::npos && colon < end) {
      while (end != std::string::npos) {
        std::string key = text.substr(colon + 1, end - colon - 1);
        TakeModifiers(&key);
        if (!key.empty()) break;
        end = text.find(',', end + 1);
      }
    }
    items.push_back(Trimmed(text.substr(start, end == std::string::npos ? std::string::npos : end - start)));
    if (end == std::string::npos) return items;
    start = end + 1;
  }
}

bool ParseItem(const std::string& item, ScriptedKey* key, std::string* error) {
  const std::string quoted = "'" + item + "'";
  size_t colon = item.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == item.size()) {
    *error = "item " + quoted + " is not TIME:KEY (milliseconds, a colon, a key), for example 500:esc";
    return false;
  }
  std::string time = item.substr(0, colon);
  if (time.size() > kMaximumTimeDigits || time.find_first_not_of("0123456789") != std::string::npos) {
    *error = "item " + quoted + ": '" + time + "' is not a time in milliseconds";
    return false;
  }
  std::string name = item.substr(colon + 1);
  unsigned modifiers = TakeModifiers(&name);
  if (!AppendNamedStroke(name, modifiers, &key->records)) {
    *error = "item " + quoted + ": '" + name +
             "' is not a key (a character, esc, enter, space, tab, backspace, f1-f12, left, right, up, down, home, "
             "end, pgup, pgdn, insert, delete, kpenter, with shift+, ctrl+ or alt+ if wanted)";
    return false;
  }
  key->at = std::chrono::milliseconds(std::stoul(time));
  key->text = item;
  return true;
}

// Plays one script. Each script has its own, so that stopping one can never stop the next.
struct ScriptPlayer {
  void Play(KeyScript script, std::chrono::steady_clock::time_point origin) {
    for (const ScriptedKey& key : script) {
      std::unique_lock<std::mutex> lock(mutex);
      if (wake.wait_until(lock, origin + key.at, [this] { return stopping; })) return;
      lock.unlock();
      DeliverKeyRecords(key.records);
    }
    // The thread stays until it is stopped and joined: a process that ends with the script installed then leaves
    // no finished thread behind that nobody joined.
    std::unique_lock<std::mutex> lock(mutex);
    wake.wait(lock, [this] { return stopping; });
  }

  void Stop() {
    std::thread playing;
    {
      std::lock_guard<std::mutex> guard(mutex);
      stopping = true;
      playing.swap(thread);
    }
    wake.notify_all();
    if (playing.joinable()) playing.join();
  }

  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  std::thread thread;
};

}  // namespace

bool ParseKeyScript(const std::string& text, KeyScript* script, std::string* error) {
  script->clear();
  if (Trimmed(text).empty()) return true;
  for (const std::string& item : SplitItems(text)) {
    if (item.empty()) {
      *error = "an empty item in '" + text + "' (items are separated by single commas)";
      return false;
    }
    ScriptedKey key;
    if (!ParseItem(item, &key, error)) return false;
    script->push_back(std::move(key));
  }
  return true;
}

void SetKeyboardScript(const KeyScript& script, std::chrono::steady_clock::time_point origin) {
  KeyScript ordered = script;
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const ScriptedKey& a, const ScriptedKey& b) { return a.at < b.at; });
  auto player = std::make_shared<ScriptPlayer>();
  AttachKeyboard([player] { player->Stop(); });
  std::lock_guard<std::mutex> guard(player->mutex);
  if (!player->stopping) player->thread = std::thread(&ScriptPlayer::Play, player.get(), std::move(ordered), origin);
}

std::chrono::steady_clock::time_point ProcessStartTime() { return g_processStart; }

}  // namespace host
