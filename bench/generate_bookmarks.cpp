// tidymark-generate: writes a realistic, unsorted bookmarks file of a chosen size, the same
// bytes for the same options on every run.
//
//   tidymark-generate --bookmarks N [--seed S] [--format binary|xml] [--titles ascii|mixed] FILE
//
// The tree looks like the browser's own file: a root folder holding the history entry (a node of
// another kind), the bookmarks bar, the bookmarks menu and the reading list. Bookmarks carry a
// UUID, a URL, their title inside "URIDictionary" and a sync dictionary; reading-list items carry
// dates with fractions of a second. Folders nest a few levels deep, some are empty, and titles
// mix words, numbers ("Item 2", "Item 10") and, with --titles mixed, non-ASCII text.

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/plist_file.h"

namespace tidymark {
namespace {

// A small, fully specified generator, so a seed gives the same file everywhere.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
  bool chance(unsigned percent) { return below(100) < percent; }
  template <typename T, std::size_t N>
  const T& pick(const T (&items)[N]) {
    return items[below(N)];
  }

 private:
  std::uint64_t state_;
};

constexpr const char* kAsciiWords[] = {
    "News",    "apple",   "Weather", "recipes", "Python",  "docs",    "Travel", "music",
    "Banking", "github",  "Maps",    "photos",  "Reading", "sports",  "Garden", "linux",
    "Science", "movies",  "Health",  "blog",    "Jobs",    "library", "Games",  "kids",
    "Finance", "podcast", "Shop",    "wiki",    "Cooking", "forum",   "Design", "school"};
constexpr const char* kWorldWords[] = {
    "Café",     "Straße",         "Ångström",  "東京",     "München", "Zürich",  "naïve",
    "Ελληνικά", "Русский",        "São Paulo", "Dvořák",   "한국어",  "日本語",  "Œuvre",
    "ÉCOLE",    "e\u0301cole",    "Øresund",   "İstanbul", "ﬁle",     "Σοφία",   "Ñandú",
    "Kraków",   "\U0001F600 fun", "Ďakujem",   "Ärger",    "ǅemal",   "Ⅻ Roman", "Ｆｕｌｌ"};
constexpr const char* kHosts[] = {"example.com",        "news.example.org", "docs.example.net",
                                  "shop.example.co.uk", "wiki.example.org", "blog.example.io"};

struct Options {
  std::size_t bookmarks = 1000;
  std::uint64_t seed = 1;
  PlistFormat format = PlistFormat::Binary;
  bool worldTitles = true;
  std::string path;
};

class Generator {
 public:
  explicit Generator(const Options& options) : options_(options), random_(options.seed) {}

  PlistValue root() {
    const std::size_t total = options_.bookmarks;
    const std::size_t readingList = total / 20;
    const std::size_t menu = (total - readingList) / 3;
    const std::size_t bar = total - readingList - menu;

    PlistArray top;
    top.push_back(historyProxy());
    top.push_back(folder("BookmarksBar", bar, 0));
    top.push_back(folder("BookmarksMenu", menu, 0));
    top.push_back(readingListFolder(readingList));
    PlistDict entries;
    entries.push_back({"Children", PlistValue::array(std::move(top))});
    entries.push_back({"Sync", syncDictionary()});
    entries.push_back({"Title", PlistValue::string("")});
    entries.push_back({"WebBookmarkFileVersion", PlistValue::integer(1)});
    entries.push_back({"WebBookmarkType", PlistValue::string("WebBookmarkTypeList")});
    entries.push_back({"WebBookmarkUUID", PlistValue::string(uuid())});
    return PlistValue::dict(std::move(entries));
  }

 private:
  std::string uuid() {
    char text[37];
    const std::uint64_t a = random_.next();
    const std::uint64_t b = random_.next();
    std::snprintf(text, sizeof text,
                  "%08" PRIX64 "-%04" PRIX64 "-%04" PRIX64 "-%04" PRIX64 "-%012" PRIX64, a >> 32,
                  (a >> 16) & 0xFFFF, a & 0xFFFF, b >> 48, b & std::uint64_t{0xFFFFFFFFFFFF});
    return text;
  }

  std::string title() {
    std::string text;
    const std::size_t words = 1 + random_.below(3);
    for (std::size_t i = 0; i < words; ++i) {
      if (i) text += ' ';
      text += options_.worldTitles && random_.chance(25) ? random_.pick(kWorldWords)
                                                         : random_.pick(kAsciiWords);
    }
    if (random_.chance(30)) text.append(" ").append(std::to_string(1 + random_.below(120)));
    if (random_.chance(5))
      text = std::string("Item ").append(std::to_string(1 + random_.below(20)));
    return text;
  }

  std::string url() {
    std::string text = "https://";
    text += random_.pick(kHosts);
    text.append("/").append(std::to_string(random_.below(100000)));
    text.append("/").append(std::to_string(random_.below(1000)));
    return text;
  }

  PlistValue syncDictionary() {
    PlistDict sync;
    sync.push_back({"ServerID", PlistValue::string(uuid().substr(0, 18))});
    if (random_.chance(50)) {
      PlistData data(24);
      for (std::uint8_t& byte : data)
        byte = static_cast<std::uint8_t>(random_.next());
      sync.push_back({"Data", PlistValue::data(std::move(data))});
    }
    return PlistValue::dict(std::move(sync));
  }

  PlistDict bookmarkEntries() {
    PlistDict uri;
    uri.push_back({"title", PlistValue::string(title())});
    PlistDict entries;
    entries.push_back({"Sync", syncDictionary()});
    entries.push_back({"URIDictionary", PlistValue::dict(std::move(uri))});
    entries.push_back({"URLString", PlistValue::string(url())});
    entries.push_back({"WebBookmarkType", PlistValue::string("WebBookmarkTypeLeaf")});
    entries.push_back({"WebBookmarkUUID", PlistValue::string(uuid())});
    return entries;
  }

  PlistValue folderNode(std::string title, PlistArray children) {
    PlistDict entries;
    entries.push_back({"Children", PlistValue::array(std::move(children))});
    entries.push_back({"Title", PlistValue::string(std::move(title))});
    entries.push_back({"WebBookmarkType", PlistValue::string("WebBookmarkTypeList")});
    entries.push_back({"WebBookmarkUUID", PlistValue::string(uuid())});
    return PlistValue::dict(std::move(entries));
  }

  // A folder holding `count` bookmarks, some of them in subfolders, in no particular order.
  PlistValue folder(std::string name, std::size_t count, int depth) {
    PlistArray children;
    while (count > 0) {
      if (depth < 4 && count > 8 && random_.chance(12)) {
        const std::size_t inner = 1 + random_.below(std::min<std::size_t>(count, 200));
        children.push_back(folder(title(), inner, depth + 1));
        count -= inner;
      } else {
        children.push_back(PlistValue::dict(bookmarkEntries()));
        --count;
      }
      if (random_.chance(1)) children.push_back(folderNode(title(), {}));
    }
    return folderNode(std::move(name), std::move(children));
  }

  PlistValue readingListFolder(std::size_t count) {
    PlistArray items;
    for (std::size_t i = 0; i < count; ++i) {
      PlistDict entries = bookmarkEntries();
      // Dates with fractions of a second, as the browser records them.
      const double seconds = static_cast<double>(random_.below(200'000'000));
      const double fraction = static_cast<double>(random_.below(1'000'000)) / 1'000'000.0;
      const double added = 600'000'000.0 + seconds + fraction;
      PlistDict reading;
      reading.push_back({"DateAdded", PlistValue::date(added)});
      if (random_.chance(50)) {
        reading.push_back({"DateLastViewed", PlistValue::date(added + 3600.25)});
      }
      reading.push_back({"PreviewText", PlistValue::string(title() + " " + title())});
      entries.insert(entries.begin(), {"ReadingList", PlistValue::dict(std::move(reading))});
      items.push_back(PlistValue::dict(std::move(entries)));
    }
    PlistValue list = folderNode("com.apple.ReadingList", std::move(items));
    list.asDict()->push_back({"ShouldOmitFromUI", PlistValue::boolean(true)});
    return list;
  }

  PlistValue historyProxy() {
    PlistDict entries;
    entries.push_back({"Title", PlistValue::string("History")});
    entries.push_back({"WebBookmarkIdentifier", PlistValue::string("History")});
    entries.push_back({"WebBookmarkType", PlistValue::string("WebBookmarkTypeProxy")});
    entries.push_back({"WebBookmarkUUID", PlistValue::string(uuid())});
    return PlistValue::dict(std::move(entries));
  }

  const Options& options_;
  Random random_;
};

bool parseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--bookmarks" && hasValue) {
      options->bookmarks = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--seed" && hasValue) {
      options->seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--format" && hasValue) {
      const std::string_view format = argv[++i];
      if (format != "binary" && format != "xml") return false;
      options->format = format == "xml" ? PlistFormat::Xml : PlistFormat::Binary;
    } else if (arg == "--titles" && hasValue) {
      const std::string_view titles = argv[++i];
      if (titles != "ascii" && titles != "mixed") return false;
      options->worldTitles = titles == "mixed";
    } else if (options->path.empty() && !arg.starts_with("--")) {
      options->path = arg;
    } else {
      return false;
    }
  }
  return !options->path.empty();
}

}  // namespace
}  // namespace tidymark

int main(int argc, char** argv) {
  tidymark::Options options;
  if (!tidymark::parseOptions(argc, argv, &options)) {
    std::fputs(
        "usage: tidymark-generate --bookmarks N [--seed S] [--format binary|xml]"
        " [--titles ascii|mixed] FILE\n",
        stderr);
    return 2;
  }
  tidymark::PlistDocument document{tidymark::Generator(options).root(), options.format};
  if (tidymark::Status status = tidymark::savePlistFile(options.path, document); !status.ok()) {
    std::fprintf(stderr, "tidymark-generate: %s: %s\n", options.path.c_str(),
                 status.message().c_str());
    return 1;
  }
  return 0;
}
