// The analyses on the real module: drawn text and codes, a drawn blob, and
// photos of a face and a cat.
#include "vision_test_support.hpp"

#include "app/vision/module/picture_file.hpp"

#include <opencv2/freetype.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <ZXing/BitMatrix.h>
#include <ZXing/MultiFormatWriter.h>

#include <tiffio.h>

#include <cmath>
#include <memory>
#include <numbers>

namespace app::vision {
namespace {

using namespace testing;

std::string saved(const TempDir& dir, const std::string& name, const cv::Mat& image) {
    std::string path = dir.file(name);
    EXPECT_TRUE(cv::imwrite(path, image));
    return path;
}

// How a TIFF with alpha is laid out, as ImageMagick, Pillow and scanners
// write them through libtiff.
struct TiffLayout {
    const char* name;
    int samples = 2;       // grey and alpha, or RGB and alpha
    int bits = 8;
    int extra = 2;         // ExtraSamples: 1 associated, 2 unassociated, 0 not written
    bool tiled = false;
    bool separate = false;  // each sample in a plane of its own
    bool minIsWhite = false;
    bool bigEndian = false;
    int compression = COMPRESSION_NONE;
};

// Writes a picture (8-bit grey and alpha, or BGRA) as a TIFF of that layout;
// associated alpha stores the colours multiplied by it.
void writeTiff(const std::string& path, const cv::Mat& picture, const TiffLayout& layout) {
    ASSERT_TRUE(picture.type() == CV_8UC2 || picture.type() == CV_8UC4);
    std::unique_ptr<TIFF, decltype(&TIFFClose)> tiff(TIFFOpen(path.c_str(), layout.bigEndian ? "wb" : "wl"), TIFFClose);
    ASSERT_TRUE(tiff);
    TIFF* t = tiff.get();
    const int n = layout.samples, bytes = layout.bits / 8, colours = n - 1;
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, picture.cols);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, picture.rows);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, n);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, layout.bits);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, n == 4 ? PHOTOMETRIC_RGB : layout.minIsWhite ? PHOTOMETRIC_MINISWHITE : PHOTOMETRIC_MINISBLACK);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, layout.separate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, layout.compression);
    if (layout.extra != 0) {
        const std::uint16_t extra[1] = {static_cast<std::uint16_t>(layout.extra)};
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, extra);
    }
    // Sample s of pixel (x, y) as stored: red first, 8 bits spread to 16.
    const auto stored = [&](int x, int y, int s) {
        const uchar* p = picture.ptr<uchar>(y) + std::size_t(x) * picture.channels();
        const int alpha = p[picture.channels() - 1];
        int v = s == colours ? alpha : p[colours == 3 ? 2 - s : 0];
        if (s < colours && layout.extra == 1) v = (v * alpha + 127) / 255;
        if (s < colours && layout.minIsWhite) v = 255 - v;
        return v * (bytes == 2 ? 257 : 1);
    };
    // The strip or tile at (x0, y0); separate: sample s alone.
    const int chunkWidth = layout.tiled ? 16 : picture.cols, chunkHeight = layout.tiled ? 16 : 5;
    std::vector<unsigned char> chunk(std::size_t(chunkWidth) * chunkHeight * n * bytes);
    const auto fill = [&](int x0, int y0, int s) {
        std::fill(chunk.begin(), chunk.end(), 0);
        const int step = layout.separate ? 1 : n;
        for (int y = y0; y < std::min(y0 + chunkHeight, picture.rows); ++y)
            for (int x = x0; x < std::min(x0 + chunkWidth, picture.cols); ++x)
                for (int k = layout.separate ? s : 0; k < (layout.separate ? s + 1 : n); ++k) {
                    const std::size_t at = (std::size_t(y - y0) * chunkWidth + (x - x0)) * step + (layout.separate ? 0 : k);
                    if (bytes == 1) chunk[at] = static_cast<unsigned char>(stored(x, y, k));
                    else reinterpret_cast<std::uint16_t*>(chunk.data())[at] = static_cast<std::uint16_t>(stored(x, y, k));
                }
    };
    const int planes = layout.separate ? n : 1;
    if (layout.tiled) {
        TIFFSetField(t, TIFFTAG_TILEWIDTH, chunkWidth);
        TIFFSetField(t, TIFFTAG_TILELENGTH, chunkHeight);
        for (int s = 0; s < planes; ++s)
            for (int y = 0; y < picture.rows; y += chunkHeight)
                for (int x = 0; x < picture.cols; x += chunkWidth) {
                    fill(x, y, s);
                    ASSERT_GE(TIFFWriteTile(t, chunk.data(), x, y, 0, static_cast<std::uint16_t>(s)), 0);
                }
    } else {
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, chunkHeight);
        const std::size_t stripBytes = chunk.size() / planes;
        for (int s = 0; s < planes; ++s)
            for (int y = 0; y < picture.rows; y += chunkHeight) {
                fill(0, y, s);
                const std::size_t rows = std::min(chunkHeight, picture.rows - y);
                ASSERT_GE(TIFFWriteEncodedStrip(t, TIFFComputeStrip(t, y, static_cast<std::uint16_t>(s)), chunk.data(),
                                                static_cast<tmsize_t>(stripBytes / chunkHeight * rows)), 0);
            }
    }
}

// A grey picture with alpha as BGRA.
cv::Mat inColour(const cv::Mat& greyAlpha) {
    cv::Mat out(greyAlpha.size(), CV_8UC4);
    const int grey[] = {0, 0, 0, 1, 0, 2, 1, 3};
    cv::mixChannels(&greyAlpha, 1, &out, 1, grey, 4);
    return out;
}

TEST(VisionAnalyses, TextReadBackWithItsBox) {
    TempDir dir;
    const cv::Point origin(60, 150);  // of the text's baseline
    int baseline = 0;
    cv::Mat latin(240, 900, CV_8UC3, cv::Scalar::all(255));
    cv::putText(latin, "Invoice 2024 paid", origin, cv::FONT_HERSHEY_SIMPLEX, 2.0, cv::Scalar::all(0), 4);
    const cv::Size latinSize = cv::getTextSize("Invoice 2024 paid", cv::FONT_HERSHEY_SIMPLEX, 2.0, 4, &baseline);
    // Light on dark: read by the accurate level's inverted pass.
    cv::Mat inverted(240, 900, CV_8UC3, cv::Scalar::all(0));
    cv::putText(inverted, "Invoice 2024 paid", origin, cv::FONT_HERSHEY_SIMPLEX, 2.0, cv::Scalar::all(255), 4);
    // One short word alone on a page: the page layout must not take it for a picture.
    cv::Mat word(300, 400, CV_8UC3, cv::Scalar::all(255));
    cv::putText(word, "STOP", origin, cv::FONT_HERSHEY_SIMPLEX, 3.0, cv::Scalar::all(0), 8);
    const cv::Size wordSize = cv::getTextSize("STOP", cv::FONT_HERSHEY_SIMPLEX, 3.0, 8, &baseline);
    cv::Mat chinese(240, 900, CV_8UC3, cv::Scalar::all(255));
    auto font = cv::freetype::createFreeType2();
    font->loadFontData("/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc", 0);
    font->putText(chinese, "你好世界", origin, 90, cv::Scalar::all(0), -1, cv::LINE_AA, true);
    const cv::Size chineseSize = font->getTextSize("你好世界", 90, -1, &baseline);
    // Small, soft, grainy print, as in a screenshot or a photo of a form.
    const auto printed = [&](const char* text, int size, double grain, double blur) {
        cv::Mat image(size * 3, 600, CV_8UC3, cv::Scalar::all(255));
        font->putText(image, text, cv::Point(size, size * 2), size, cv::Scalar::all(0), -1, cv::LINE_AA, true);
        if (blur > 0) cv::GaussianBlur(image, image, cv::Size(0, 0), blur);
        cv::Mat noise(image.size(), CV_32FC3), ink;
        cv::RNG(3).fill(noise, cv::RNG::NORMAL, 0, grain);
        image.convertTo(ink, CV_32F);
        cv::Mat(ink + noise).convertTo(image, CV_8U);
        const cv::Size drawn = font->getTextSize(text, size, -1, &baseline);
        return std::pair{image, cv::Point2d(size + drawn.width / 2.0, size * 2 - drawn.height / 2.0)};
    };
    // A kept line keeps every word: its least sure word here is the verb,
    // without which it asks for the opposite.
    const char* const deleteLine = "请输入要删除的组名";
    const auto [deleting, deletingCentre] = printed(deleteLine, 12, 10, 0.5);
    // Lines of digits alone are text too.
    const auto [date, dateCentre] = printed("2024-03-15", 40, 0, 0);
    const auto [plate, plateCentre] = printed("4006381333931", 14, 10, 0.6);
    auto centreOf = [&](cv::Size text) { return cv::Point2d(origin.x + text.width / 2.0, origin.y - text.height / 2.0); };

    struct Row {
        const char* name;
        cv::Mat image;
        const char* text;
        cv::Point2d centre;  // of the drawn line, top-left origin
        tools::AnyList languages;
        bool fastToo = true;
    };
    const std::vector<Row> rows = {
        {"latin.png", latin, "Invoice 2024 paid", centreOf(latinSize), {"en-US"}},
        {"inverted.png", inverted, "Invoice 2024 paid", centreOf(latinSize), {"en-US"}, false},
        {"word.png", word, "STOP", centreOf(wordSize), {}},
        {"chinese.png", chinese, "你好世界", centreOf(chineseSize), {"zh-Hans", "en-US"}},
        {"delete.png", deleting, deleteLine, deletingCentre, {}, false},
        {"date.png", date, "2024-03-15", dateCentre, {}},
        {"plate.png", plate, "4006381333931", plateCentre, {}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        for (const char* level : {"accurate", "fast"}) {
            if (!row.fastToo && std::string(level) == "fast") continue;
            json::Value result = callToolJson("vision_recognize_text", {{"image_path", saved(dir, row.name, row.image)},
                                                                        {"recognition_level", level},
                                                                        {"languages", row.languages}});
            EXPECT_EQ(result.find("full_text")->asString(), row.text) << level;
            const auto& blocks = result.find("text_blocks")->asArray();
            ASSERT_EQ(blocks.size(), 1u) << level;
            // A confidence is a fraction, as the framework's are.
            const double confidence = member(blocks[0], "confidence");
            EXPECT_TRUE(confidence > 0 && confidence <= 1) << confidence;
            cv::Point2d centre = boxCentre(blocks[0], row.image.size());
            EXPECT_NEAR(centre.x, row.centre.x, 25);
            EXPECT_NEAR(centre.y, row.centre.y, 25);
        }
    }
}

// Photos without writing give no text, however hard their texture looks
// like letters (these read as 3 to 15 lines of junk before).
TEST(VisionAnalyses, NoTextInventedOnPhotos) {
    TempDir dir;
    cv::Mat enlarged;
    cv::resize(cv::imread(photo("astronaut.png")), enlarged, cv::Size(1024, 768));
    for (const std::string& path : {photo("astronaut.png"), saved(dir, "astronaut-1024x768.png", enlarged),
                                    photo("horse.png"), photo("coins.png"), photo("chelsea.png")}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(callTool("vision_recognize_text", {{"image_path", path}}),
                  "{\n  \"full_text\" : \"\",\n  \"success\" : true,\n  \"text_blocks\" : []\n}");
    }
}

TEST(VisionAnalyses, BarcodesWrittenAndReadBackInPlace) {
    struct Row {
        ZXing::BarcodeFormat format;
        std::string payload;
        int width, height;
        cv::Point at;
        const char* symbology;
    };
    const std::vector<Row> rows = {
        {ZXing::BarcodeFormat::QRCode, "https://example.org/brisolet?q=1", 240, 240, {520, 60}, "QRCode"},
        {ZXing::BarcodeFormat::EAN13, "4006381333931", 380, 160, {60, 300}, "EAN-13"},
    };
    cv::Mat canvas(560, 900, CV_8UC3, cv::Scalar::all(255));
    for (const Row& row : rows) {
        auto matrix = ZXing::MultiFormatWriter(row.format).setMargin(10).encode(row.payload, row.width, row.height);
        cv::Mat code(matrix.height(), matrix.width(), CV_8UC1);
        for (int y = 0; y < matrix.height(); ++y)
            for (int x = 0; x < matrix.width(); ++x) code.at<unsigned char>(y, x) = matrix.get(x, y) ? 0 : 255;
        cv::cvtColor(code, code, cv::COLOR_GRAY2BGR);
        code.copyTo(canvas(cv::Rect(row.at, code.size())));
    }
    TempDir dir;
    json::Value result = callToolJson("vision_detect_barcodes", {{"image_path", saved(dir, "codes.png", canvas)}});
    const auto& found = result.find("barcodes")->asArray();
    ASSERT_EQ(result.find("count")->asInt(), 2);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.symbology);
        auto match = std::find_if(found.begin(), found.end(),
                                  [&](const json::Value& b) { return b.find("symbology")->asString() == row.symbology; });
        ASSERT_NE(match, found.end());
        EXPECT_EQ(match->find("payload")->asString(), row.payload);
        // A linear code's box is the band of rows it was read on.
        cv::Point2d centre = boxCentre(*match, canvas.size());
        EXPECT_NEAR(centre.x, row.at.x + row.width / 2.0, 25);
        EXPECT_GE(centre.y, row.at.y);
        EXPECT_LE(centre.y, row.at.y + row.height);
    }
}

TEST(VisionAnalyses, SalientBlobFoundInPlace) {
    cv::Mat image(600, 800, CV_8UC3);
    cv::RNG rng(7);
    rng.fill(image, cv::RNG::UNIFORM, cv::Scalar::all(110), cv::Scalar::all(140));
    const cv::Point blob(560, 200);
    cv::circle(image, blob, 70, cv::Scalar(30, 30, 230), cv::FILLED);
    TempDir dir;
    const std::string path = saved(dir, "blob.png", image);
    auto saliency = [&](const char* type) { return callTool("vision_analyze_saliency", {{"image_path", path}, {"type", type}}); };
    // Only the exact word selects objectness.
    EXPECT_NE(saliency("objectness"), saliency("attention"));
    EXPECT_EQ(saliency("Objectness"), saliency("attention"));
    for (const char* type : {"attention", "objectness"}) {
        SCOPED_TRACE(type);
        json::Value result = json::parse(saliency(type));
        const auto& regions = result.find("regions")->asArray();
        ASSERT_GE(regions.size(), 1u);
        EXPECT_EQ(result.find("count")->asInt(), static_cast<std::int64_t>(regions.size()));
        cv::Point2d centre = boxCentre(regions[0], image.size());
        EXPECT_NEAR(centre.x, blob.x, 50);
        EXPECT_NEAR(centre.y, blob.y, 50);
    }
}

// One face with its landmarks, its roll near 0; rotated by 20 degrees it
// reads back as a roll of 20 degrees, and turning by minus that straightens it.
TEST(VisionAnalyses, FaceRollOnTheAstronautAndARotatedCopy) {
    VisionEngine& engine = loadVisionEngine();
    VisionService service(engine, {});
    ImageRef astronaut = service.loadCGImage(photo("astronaut.png"));
    ASSERT_TRUE(astronaut);
    const double twenty = 20 * std::numbers::pi / 180;
    ImageRef rotated = service.rotateImage(*astronaut, twenty);
    ASSERT_TRUE(rotated);
    // 512 * (cos 20 + sin 20) = 656.2: truncated, not rounded outward.
    EXPECT_EQ(rotated->width(), 656);
    EXPECT_EQ(rotated->height(), 656);
    ImageRef straightened = service.rotateImage(*rotated, -twenty);

    struct Row {
        const char* name;
        ImageRef image;
        double roll;
    };
    for (const Row& row : std::vector<Row>{{"upright", astronaut, 0.0}, {"rotated", rotated, twenty},
                                           {"straightened", straightened, 0.0}}) {
        SCOPED_TRACE(row.name);
        json::Value result = service.detectFaces(*row.image);
        ASSERT_EQ(result.find("face_count")->asInt(), 1);
        const json::Value& face = result.find("faces")->asArray()[0];
        EXPECT_NEAR(face.find("roll")->asNumber(), row.roll, 0.06);
        EXPECT_EQ(json::write(*face.find("landmarks_summary"), {.sortedKeys = true}),
                  R"({"left_eye_count":6,"mouth_point_count":12,"nose_point_count":9,"right_eye_count":6})");
        EXPECT_LT(std::abs(face.find("yaw")->asNumber()), 0.6);
    }
}

// A pose only where a person's face is, with the head's joints on that face
// (her nose about 0.44 across, 0.75 up); hand pose gives none at all.
TEST(VisionAnalyses, PosesOnlyAtPeople) {
    for (const char* name : {"astronaut.png", "coffee.png", "chelsea.png", "rocket.jpg", "motorcycle_left.png"}) {
        SCOPED_TRACE(name);
        const json::Value poses = callToolJson("vision_detect_body_pose", {{"image_path", photo(name)}});
        EXPECT_EQ(callToolJson("vision_detect_hand_pose", {{"image_path", photo(name)}}).find("count")->asInt(), 0);
        ASSERT_EQ(poses.find("count")->asInt(), std::string(name) == "astronaut.png" ? 1 : 0) << json::write(poses);
        if (const json::Value* pose = poses.find("poses")->asArray().empty() ? nullptr : &poses.find("poses")->asArray()[0]) {
            EXPECT_GE(pose->find("points")->asObject().size(), 5u);
            EXPECT_NEAR(member(*pose->find("points")->find("nose"), "x"), 0.44, 0.05);
            EXPECT_NEAR(member(*pose->find("points")->find("nose"), "y"), 0.75, 0.05);
        }
    }
}

TEST(VisionAnalyses, CatPhoto) {
    json::Value cat = callToolJson("vision_recognize_animals", {{"image_path", photo("chelsea.png")}});
    ASSERT_GE(cat.find("count")->asInt(), 1);
    const json::Value& animal = cat.find("animals")->asArray()[0];
    EXPECT_EQ(animal.find("labels")->asArray()[0].find("identifier")->asString(), "Cat");
    // The box holds Chelsea's face, in the right half of the picture.
    const json::Value& box = *animal.find("bounding_box");
    EXPECT_LT(member(box, "x") * 451, 300);
    EXPECT_GT((member(box, "x") + member(box, "width")) * 451, 300);
}

// A picture with transparency is read as shown on white, in every format that
// carries it: Tux Paint's dog cut out of its background (read as black
// behind it, it scored 0.30), its black hand on nothing (all black: no hand),
// and drawn text and a code on nothing.
TEST(VisionAnalyses, TransparentPicturesAreReadOnWhite) {
    TempDir dir;
    const cv::Mat dog = cv::imread(photo("stamp-dog.png"), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(dog.type(), CV_8UC4);
    cv::Mat onWhite(dog.size(), CV_8UC3);
    for (int y = 0; y < dog.rows; ++y)
        for (int x = 0; x < dog.cols; ++x) {
            const cv::Vec4b p = dog.at<cv::Vec4b>(y, x);
            for (int k = 0; k < 3; ++k) onWhite.at<cv::Vec3b>(y, x)[k] = cv::saturate_cast<uchar>((p[k] * p[3] + 255 * (255 - p[3])) / 255.0);
        }
    const std::string flattened = saved(dir, "dog-on-white.png", onWhite);
    cv::Mat deep;
    dog.convertTo(deep, CV_16UC4, 257);
    const std::string heif = dir.file("dog.heic");
    runProgram({"heif-enc", "-q", "95", "-o", heif, photo("stamp-dog.png")});
    const std::vector<std::string> dogs = {photo("stamp-dog.png"), saved(dir, "dog16.png", deep), saved(dir, "dog.tiff", dog),
                                           dir.file("dog.webp"), heif};
    ASSERT_TRUE(cv::imwrite(dogs[3], dog, {cv::IMWRITE_WEBP_QUALITY, 101}));
    for (const std::string& path : dogs) {
        SCOPED_TRACE(path);
        const json::Value animals = callToolJson("vision_recognize_animals", {{"image_path", path}});
        ASSERT_EQ(animals.find("count")->asInt(), 1);
        const json::Value& label = animals.find("animals")->asArray()[0].find("labels")->asArray()[0];
        EXPECT_EQ(label.find("identifier")->asString(), "Dog");
        EXPECT_GT(member(label, "confidence"), 0.4);
        const json::Value same = callToolJson("vision_compare_images", {{"image_path_1", path}, {"image_path_2", flattened}});
        EXPECT_LT(member(same, "distance"), 5.0);
    }

    const json::Value hands = callToolJson("vision_detect_hand_pose", {{"image_path", photo("stamp-hand.png")}});
    ASSERT_EQ(hands.find("count")->asInt(), 1);
    EXPECT_GT(member(hands.find("hands")->asArray()[0], "confidence"), 0.9);

    cv::Mat clear(300, 900, CV_8UC4, cv::Scalar::all(0));
    cv::putText(clear, "Invoice 2024 paid", {60, 150}, cv::FONT_HERSHEY_SIMPLEX, 2.0, cv::Scalar(0, 0, 0, 255), 4);
    EXPECT_EQ(callToolJson("vision_recognize_text", {{"image_path", saved(dir, "clear-text.png", clear)}}).find("full_text")->asString(),
              "Invoice 2024 paid");
    const auto matrix = ZXing::MultiFormatWriter(ZXing::BarcodeFormat::QRCode).setMargin(10).encode("brisolet", 240, 240);
    cv::Mat code(matrix.height(), matrix.width(), CV_8UC4, cv::Scalar::all(0));
    for (int y = 0; y < matrix.height(); ++y)
        for (int x = 0; x < matrix.width(); ++x)
            if (matrix.get(x, y)) code.at<cv::Vec4b>(y, x) = cv::Vec4b(0, 0, 0, 255);
    const json::Value codes = callToolJson("vision_detect_barcodes", {{"image_path", saved(dir, "clear-code.png", code)}});
    ASSERT_EQ(codes.find("count")->asInt(), 1);
    EXPECT_EQ(codes.find("barcodes")->asArray()[0].find("payload")->asString(), "brisolet");

    // Black text on nothing in grey TIFFs with alpha (read as black, they
    // gave no text and a distance of 55.9): through libtiff, and as ffmpeg,
    // ImageMagick and Pillow write them.
    cv::Mat greyText(300, 900, CV_8UC2, cv::Scalar::all(0));
    cv::putText(greyText, "Invoice 2024 paid", {60, 150}, cv::FONT_HERSHEY_SIMPLEX, 2.0, cv::Scalar(0, 255), 4, cv::LINE_AA);
    cv::Mat ink;
    cv::extractChannel(greyText, ink, 1);
    const std::string greyReference = saved(dir, "grey-text-on-white.png", 255 - ink);
    std::vector<std::string> greyTiffs;
    for (const TiffLayout& layout :
         {TiffLayout{.name = "grey8.tif", .compression = COMPRESSION_LZW},
          TiffLayout{.name = "grey8-associated-tiled.tif", .extra = 1, .tiled = true, .compression = COMPRESSION_ADOBE_DEFLATE},
          TiffLayout{.name = "grey16-tiled.tif", .bits = 16, .tiled = true},
          TiffLayout{.name = "grey16-associated.tif", .bits = 16, .extra = 1, .compression = COMPRESSION_LZW}}) {
        greyTiffs.push_back(dir.file(layout.name));
        writeTiff(greyTiffs.back(), greyText, layout);
    }
    const std::string greyPng = saved(dir, "grey-text.png", inColour(greyText));
    for (const char* format : {"ya8", "ya16le"}) {
        greyTiffs.push_back(dir.file(std::string("ffmpeg-") + format + ".tif"));
        runProgram({"ffmpeg", "-v", "error", "-y", "-i", greyPng, "-pix_fmt", format, greyTiffs.back()});
    }
    // ImageMagick's and Pillow's own (Debian's python3 has Pillow).
    const std::vector<std::vector<std::string>> magick = {
        {"-depth", "8", "-compress", "lzw"},
        {"-depth", "8", "-define", "tiff:alpha=associated", "-define", "tiff:tile-geometry=128x128"},
        {"-depth", "16", "-define", "tiff:tile-geometry=128x128"},
        {"-depth", "16", "-define", "tiff:alpha=associated", "-compress", "zip"}};
    for (const auto& options : magick) {
        greyTiffs.push_back(dir.file("magick-" + std::to_string(greyTiffs.size()) + ".tif"));
        std::vector<std::string> argv{"convert-im6.q16", greyPng, "-type", "GrayscaleAlpha"};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back(greyTiffs.back());
        runProgram(argv);
    }
    greyTiffs.push_back(dir.file("pillow.tif"));
    runProgram({"/usr/bin/python3", "-c",
                "import sys; from PIL import Image; Image.open(sys.argv[1]).convert('LA').save(sys.argv[2], compression='tiff_lzw')",
                greyPng, greyTiffs.back()});
    for (const std::string& path : greyTiffs) {
        SCOPED_TRACE(path);
        EXPECT_EQ(callToolJson("vision_recognize_text", {{"image_path", path}}).find("full_text")->asString(), "Invoice 2024 paid");
        EXPECT_LT(member(callToolJson("vision_compare_images", {{"image_path_1", path}, {"image_path_2", greyReference}}), "distance"), 0.5);
    }
}

// Every layout of transparency comes out on white as a viewer shows it:
// opaque grey as it is, half-transparent grey 102 as 178 (not darker, where
// its grey is stored already multiplied by alpha), nothing as white.
TEST(VisionAnalyses, TransparentLayoutsOnWhite) {
    TempDir dir;
    cv::Mat greyAlpha(42, 72, CV_8UC2, cv::Scalar::all(0));  // part tiles and strips at the ends
    greyAlpha.colRange(0, 8).setTo(cv::Scalar(102, 255));
    greyAlpha.colRange(8, 16).setTo(cv::Scalar(102, 128));
    const std::vector<TiffLayout> layouts = {
        {.name = "grey8.tif"},
        {.name = "grey8-associated-tiled.tif", .extra = 1, .tiled = true, .compression = COMPRESSION_ADOBE_DEFLATE},
        {.name = "grey8-unsaid.tif", .extra = 0, .compression = COMPRESSION_LZW},
        {.name = "grey8-planes.tif", .separate = true},
        {.name = "grey8-min-is-white.tif", .minIsWhite = true},
        {.name = "grey16-tiled.tif", .bits = 16, .tiled = true, .compression = COMPRESSION_LZW},
        {.name = "grey16-associated-big-endian.tif", .bits = 16, .extra = 1, .bigEndian = true},
        {.name = "grey16-planes-tiled.tif", .bits = 16, .extra = 1, .tiled = true, .separate = true},
        {.name = "rgba8.tif", .samples = 4},
        {.name = "rgba8-associated.tif", .samples = 4, .extra = 1, .compression = COMPRESSION_LZW},
        {.name = "rgba16.tif", .samples = 4, .bits = 16, .tiled = true},
        {.name = "rgba16-associated.tif", .samples = 4, .bits = 16, .extra = 1},
    };
    std::vector<std::string> paths;
    for (const TiffLayout& layout : layouts) {
        paths.push_back(dir.file(layout.name));
        writeTiff(paths.back(), layout.samples == 2 ? greyAlpha : inColour(greyAlpha), layout);
    }
    paths.push_back(saved(dir, "rgba.jp2", inColour(greyAlpha)));
    paths.push_back(saved(dir, "rgba.png", inColour(greyAlpha)));
    // A HEIF picture that says its colours are multiplied by alpha.
    cv::Mat premultiplied = inColour(greyAlpha);
    premultiplied.colRange(8, 16).setTo(cv::Scalar(51, 51, 51, 128));
    paths.push_back(dir.file("premultiplied.heic"));
    runProgram({"heif-enc", "-q", "100", "--premultiplied-alpha", "-o", paths.back(), saved(dir, "premultiplied.png", premultiplied)});
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        cv::Mat read;
        EXPECT_NO_THROW(read = module::readPicture(path));
        if (read.type() != CV_8UC3 || read.size() != greyAlpha.size()) {
            ADD_FAILURE() << "read as " << read.size() << " of type " << read.type();
            continue;
        }
        for (auto [x, expected] : {std::pair{4, 102}, {12, 178}, {30, 255}}) {
            const cv::Vec3b p = read.at<cv::Vec3b>(12, x);
            EXPECT_LE(cv::norm(cv::Vec3i(p) - cv::Vec3i::all(expected), cv::NORM_INF), path.ends_with(".heic") ? 4 : 1)
                << "x " << x << ": " << p;
        }
    }
}

// Pictures smaller than any detector's window give empty results, not errors.
TEST(VisionAnalyses, TinyPicturesThroughEveryTool) {
    TempDir dir;
    for (cv::Size size : {cv::Size(1, 1), cv::Size(7, 3)}) {
        const std::string path = saved(dir, "tiny.png", cv::Mat(size, CV_8UC3, cv::Scalar(20, 200, 90)));
        for (const auto& tool : visionTools()) {
            if (!tool.inputSchema.at("properties").ifMap()->contains("image_path")) continue;
            SCOPED_TRACE(tool.name + " " + std::to_string(size.width));
            EXPECT_TRUE(callToolJson(tool.name, {{"image_path", path}}).find("success")->asBool());
        }
    }
}

}  // namespace
}  // namespace app::vision
