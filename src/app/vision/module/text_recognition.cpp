#include "app/vision/module/text_recognition.hpp"

#include "app/tools/registry/tool_error.hpp"
#include "app/vision/module/abandonable.hpp"
#include "app/vision/module/module_image.hpp"

#include <opencv2/imgproc.hpp>

#include <tesseract/baseapi.h>
#include <tesseract/ocrclass.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

namespace app::vision::module {

namespace {

std::string lowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Han ideographs, CJK punctuation and full-width forms.
bool isCjk(char32_t c) {
    return (c >= 0x3000 && c <= 0x303F) || (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) ||
           (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFF00 && c <= 0xFFEF);
}

// The code point starting at text[i] (valid UTF-8 from Tesseract) and its length.
std::pair<char32_t, std::size_t> codePointAt(const std::string& text, std::size_t i) {
    auto b = static_cast<unsigned char>(text[i]);
    std::size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    n = std::min(n, text.size() - i);
    char32_t c = n == 1 ? b : b & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    return {c, n};
}

// Tesseract separates Chinese characters with spaces that the text does not
// have; a space between two CJK characters is dropped.
std::string withoutSpacesBetweenCjk(const std::string& text) {
    std::string out;
    char32_t previous = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        auto [c, n] = codePointAt(text, i);
        if (c == U' ' && isCjk(previous)) {
            std::size_t j = i;
            while (j < text.size() && text[j] == ' ') ++j;
            if (j < text.size() && isCjk(codePointAt(text, j).first)) {
                i = j;
                continue;
            }
        }
        out.append(text, i, n);
        previous = c;
        i += n;
    }
    return out;
}

// A letter, a digit or a CJK character: what read text is made of, unlike
// the strokes and dots that texture in a photo reads as.
bool isTextCharacter(char32_t c) {
    if (c < 0x80) return std::isalnum(static_cast<int>(c)) != 0;
    return (c >= 0xC0 && c <= 0x52F && c != 0xD7 && c != 0xF7) ||  // Latin, Greek, Cyrillic letters
           (c >= 0x3040 && c <= 0x30FF) || (c >= 0xAC00 && c <= 0xD7AF) ||  // kana, hangul
           (isCjk(c) && !(c >= 0x3000 && c <= 0x303F) && !(c >= 0xFF00 && c <= 0xFF0F));
}

bool holdsText(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        auto [c, n] = codePointAt(text, i);
        if (isTextCharacter(c)) return true;
        i += n;
    }
    return false;
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// Held while an engine reads; never destroyed, like the engines. Ended
// (under it) once they are ended at exit: a reading still waiting then
// finds none to use.
std::timed_mutex& enginesMutex = *new std::timed_mutex;
bool enginesEnded = false;

// One initialised engine per language set, kept for the process: loading
// the Chinese model takes longer than reading a page.
std::map<std::string, std::unique_ptr<tesseract::TessBaseAPI>>& engines() {
    static auto& engines = *new std::map<std::string, std::unique_ptr<tesseract::TessBaseAPI>>();
    return engines;
}

// Ended at exit before Tesseract's shared model cache goes, which otherwise
// reports every model still held as a leak on standard error: registered
// once an engine has loaded its models (and so made the cache), so that it
// runs before the cache's own clean-up. A first engine that loaded nothing
// (a language not installed) had made no cache yet.
// Waits a few seconds at most for a reading still running (a stopped
// call's); past that the engines are left as they are.
void endEngines() {
    std::unique_lock lock(enginesMutex, std::chrono::seconds(5));
    if (!lock) return;
    enginesEnded = true;
    for (auto& [languages, api] : engines()) api->End();
}

tesseract::TessBaseAPI& engineFor(const std::string& languages, const std::vector<std::string>& codes,
                                  const std::vector<std::string>& wanted) {
    auto& engines = module::engines();
    auto found = engines.find(languages);
    if (found != engines.end()) return *found->second;
    // Tesseract's own messages (a language file it cannot open, the leak
    // report above) are not the program's: the caller gets the error.
    static std::once_flag quiet;
    std::call_once(quiet, [] { tesseract::TessBaseAPI().SetVariable("debug_file", "/dev/null"); });
    auto api = std::make_unique<tesseract::TessBaseAPI>();
    const bool initialised = api->Init(nullptr, languages.c_str(), tesseract::OEM_LSTM_ONLY) == 0;
    // Tesseract reports success when some of the languages are missing.
    std::vector<std::string> loaded;
    if (initialised) api->GetLoadedLanguagesAsVector(&loaded);
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        if (std::find(loaded.begin(), loaded.end(), wanted[i]) == loaded.end()) {
            throw tools::ToolError("VisionService", 400, "Unsupported language: " + codes[i]);
        }
    }
    static std::once_flag registered;
    std::call_once(registered, [] { std::atexit(endEngines); });
    return *engines.emplace(languages, std::move(api)).first->second;
}

bool cancelRequested(void* stop, int) { return static_cast<std::stop_token*>(stop)->stop_requested(); }

// The lines of a grey picture, read while holding the engines; absent once
// stop is requested.
Results<TextObservation> readLines(const cv::Mat& gray, const std::string& languages,
                                   const std::vector<std::string>& codes, const std::vector<std::string>& wanted,
                                   bool fast, std::stop_token stop) {
    // A stopped call waiting its turn gives up (and its picture) at once.
    std::unique_lock lock(enginesMutex, std::defer_lock);
    while (!lock.try_lock_for(std::chrono::milliseconds(20)))
        if (stop.stop_requested()) return std::nullopt;
    if (stop.stop_requested() || enginesEnded) return std::nullopt;
    tesseract::TessBaseAPI& api = engineFor(languages, codes, wanted);
    // The inverted second pass (light text on dark) is what "fast" skips.
    api.SetVariable("tessedit_do_invert", fast ? "0" : "1");
    // Lines found by layout analysis, as the tesseract command finds them:
    // the parts of a picture that hold no writing are left out before they
    // are read, instead of read as lines of junk and dropped below (a 640 x
    // 480 video frame with a photo in it took 250 ms read as one block, 40 ms so).
    api.SetPageSegMode(tesseract::PSM_AUTO);
    api.SetImage(gray.data, gray.cols, gray.rows, 1, static_cast<int>(gray.step));
    api.SetSourceResolution(300);
    tesseract::ETEXT_DESC monitor;
    monitor.cancel = cancelRequested;
    monitor.cancel_this = &stop;
    const bool recognised = api.Recognize(&monitor) == 0;
    if (!recognised || stop.stop_requested()) {
        api.Clear();
        return std::nullopt;
    }

    // Tesseract reads texture as text: on the test photos without writing
    // (faces, animals, rockets, coins, gravel) every line it found scored 71
    // or less, while lines of rendered, scanned and video-frame text scored
    // 87-97. So a line is kept when its confidence is at least 75 and it holds
    // a letter, digit or CJK character (a row of strokes is no text). A kept
    // line keeps all its words: one left out ("not", "delete") can turn what
    // the line says around.
    constexpr float kLineConfidence = 75;
    std::vector<std::optional<TextObservation>> lines;
    std::unique_ptr<tesseract::ResultIterator> it(api.GetIterator());
    if (it && !it->Empty(tesseract::RIL_WORD)) {
        do {
            const float confidence = it->Confidence(tesseract::RIL_TEXTLINE);
            int left = 0, top = 0, right = 0, bottom = 0;
            const bool boxed = it->BoundingBox(tesseract::RIL_TEXTLINE, &left, &top, &right, &bottom);
            std::string words;
            for (bool more = true; more;) {
                std::unique_ptr<char[]> word(it->GetUTF8Text(tesseract::RIL_WORD));
                if (word) words += (words.empty() ? "" : " ") + trimmed(word.get());
                more = !it->IsAtFinalElement(tesseract::RIL_TEXTLINE, tesseract::RIL_WORD) && it->Next(tesseract::RIL_WORD);
            }
            const std::string content = withoutSpacesBetweenCjk(trimmed(words));
            if (!boxed || confidence < kLineConfidence || !holdsText(content)) continue;
            TextObservation line;
            line.box = normalizedBox(cv::Rect2d(left, top, right - left, bottom - top), gray.size());
            line.topCandidate = TextCandidate{content, confidence / 100.0f};
            lines.emplace_back(std::move(line));
        } while (it->Next(tesseract::RIL_TEXTLINE));
    }
    api.Clear();
    return lines;
}

}  // namespace

std::optional<std::string> tesseractLanguage(const std::string& code) {
    const std::string tag = lowerCase(code);
    const std::string primary = tag.substr(0, tag.find_first_of("-_"));
    if (primary == "zh") {
        for (const char* traditional : {"hant", "-tw", "-hk", "-mo"}) {
            if (tag.find(traditional) != std::string::npos) return "chi_tra";
        }
        return "chi_sim";
    }
    static const std::map<std::string, std::string> languages = {
        {"en", "eng"}, {"fr", "fra"}, {"de", "deu"}, {"es", "spa"}, {"it", "ita"}, {"pt", "por"},
        {"ja", "jpn"}, {"ko", "kor"}, {"ru", "rus"}, {"uk", "ukr"}, {"nl", "nld"}, {"sv", "swe"},
    };
    auto found = languages.find(primary);
    if (found == languages.end()) return std::nullopt;
    return found->second;
}

Results<TextObservation> recognizeTextLines(const cv::Mat& bgr, const TextRequest& request, std::stop_token stop) {
    std::vector<std::string> codes = request.languages.empty() ? std::vector<std::string>{"en-US", "zh-Hans"}
                                                               : request.languages;
    std::vector<std::string> wanted;
    std::string languages;
    for (const std::string& code : codes) {
        auto language = tesseractLanguage(code);
        if (!language) throw tools::ToolError("VisionService", 400, "Unsupported language: " + code);
        wanted.push_back(*language);
        if (languages.find(*language) == std::string::npos) languages += (languages.empty() ? "" : "+") + *language;
    }

    // Tesseract's page layout cannot be stopped (a 4096 x 4096 photo takes
    // a second or more): it runs on a thread of its own, holding the engines,
    // and a stopped call returns without waiting for it.
    cv::Mat gray;
    cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
    auto lines = untilStopped(stop, [gray, languages, codes, wanted, fast = request.fast, stop] {
        return readLines(gray, languages, codes, wanted, fast, stop);
    });
    if (!lines) return std::nullopt;
    return std::move(*lines);
}

}  // namespace app::vision::module
