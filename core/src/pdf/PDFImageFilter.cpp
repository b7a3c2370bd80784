#include "dorvex/pdf/PDFImageFilter.h"

#include <qpdf/Pl_Flate.hh>
#include <qpdf/Pl_String.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFAnnotationObjectHelper.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include <vips/vips8>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "dorvex/image/VipsRuntime.h"
#include "image/VipsBlob.h"

namespace dorvex::PDFImageFilter {

namespace {

using vips::VImage;

// ---- where images are drawn ------------------------------------------------------------------

// A PDF transformation [a b c d e f]; points are row vectors, so `first.then(second)` applies
// `first` and then `second` (the PDF product first × second).
struct Affine {
    double a = 1, b = 0, c = 0, d = 1, e = 0, f = 0;

    Affine then(const Affine& o) const {
        return {a * o.a + b * o.c, a * o.b + b * o.d, c * o.a + d * o.c,
                c * o.b + d * o.d, e * o.a + f * o.c + o.e, e * o.b + f * o.d + o.f};
    }
    // Lengths of the unit vectors of the image space once drawn: the image's drawn width and height.
    double xLength() const { return std::hypot(a, b); }
    double yLength() const { return std::hypot(c, d); }
    bool isFinite() const {
        return std::isfinite(a) && std::isfinite(b) && std::isfinite(c) && std::isfinite(d) && std::isfinite(e) &&
               std::isfinite(f);
    }
};

std::optional<Affine> affineOf(std::vector<QPDFObjectHandle> numbers) {
    if (numbers.size() != 6) return std::nullopt;
    double values[6];
    for (std::size_t i = 0; i < 6; ++i) {
        if (!numbers[i].isNumber()) return std::nullopt;
        values[i] = numbers[i].getNumericValue();
    }
    const Affine m{values[0], values[1], values[2], values[3], values[4], values[5]};
    return m.isFinite() ? std::optional<Affine>(m) : std::nullopt;
}

std::optional<Affine> affineOf(QPDFObjectHandle array) {
    if (!array.isArray()) return std::nullopt;
    return affineOf(array.getArrayAsVector());
}

struct ImageUse {
    QPDFObjectHandle image;
    double widthPoints = 0;   // largest drawn extent along the image's rows, in 1/72 inch
    double heightPoints = 0;  // the same along its columns
    bool drawn = false;
    bool sizeUnknown = false;  // also reached where its drawn size is not followed: keep its pixel size
};

// Forms nest at most this deep; deeper ones (and cycles) are not followed and their images keep
// their pixel size. The budgets bound the work on hostile files whose forms draw one another
// many times over; when one runs out, no image is downsampled at all.
constexpr int maxNesting = 32;
constexpr long maxFormWalks = 20000;
constexpr long maxDraws = 2000000;

class Survey {
public:
    std::map<QPDFObjGen, ImageUse> images;

    void page(QPDFPageObjectHelper& page) {
        QPDFObjectHandle resources = page.getAttribute("/Resources", false);
        double userUnit = 1;
        if (QPDFObjectHandle unit = page.getObjectHandle().getKey("/UserUnit"); unit.isNumber()) {
            userUnit = unit.getNumericValue();
            if (!(userUnit > 0) || !std::isfinite(userUnit)) userUnit = 1;
        }
        const Affine base{userUnit, 0, 0, userUnit, 0, 0};
        listImages(resources);
        sideResources(resources);
        try {
            Walker walker(*this, resources, base, 0);
            page.parseContents(&walker);
        } catch (const std::exception&) {
            markAll(resources);  // content we could not follow to its end: sizes unknown
        }
        try {
            for (QPDFAnnotationObjectHelper& annotation : page.getAnnotations()) appearance(annotation, base);
        } catch (const std::exception&) {
            markAll(resources);
        }
    }

    bool exhausted() const { return formWalks_ > maxFormWalks || draws_ > maxDraws; }

private:
    class Walker : public QPDFObjectHandle::ParserCallbacks {
    public:
        Walker(Survey& survey, QPDFObjectHandle resources, Affine ctm, int depth)
            : survey_(survey), resources_(std::move(resources)), ctm_(ctm), depth_(depth) {}

        void handleObject(QPDFObjectHandle object) override {
            if (!object.isOperator()) {
                if (operands_.size() == 8) operands_.erase(operands_.begin());  // operators take at most 6
                operands_.push_back(object);
                return;
            }
            const std::string op = object.getOperatorValue();
            if (op == "q") {
                stack_.push_back(ctm_);
            } else if (op == "Q") {
                if (!stack_.empty()) {
                    ctm_ = stack_.back();
                    stack_.pop_back();
                }
            } else if (op == "cm") {
                if (operands_.size() >= 6) {
                    const std::vector<QPDFObjectHandle> last(operands_.end() - 6, operands_.end());
                    if (auto m = affineOf(last)) ctm_ = m->then(ctm_);
                }
            } else if (op == "Do") {
                if (!operands_.empty() && operands_.back().isName()) {
                    survey_.draw(resources_, operands_.back().getName(), ctm_, depth_);
                }
            }
            operands_.clear();
        }
        void handleEOF() override {}

    private:
        Survey& survey_;
        QPDFObjectHandle resources_;
        Affine ctm_;
        int depth_;
        std::vector<Affine> stack_;
        std::vector<QPDFObjectHandle> operands_;
    };

    ImageUse& use(QPDFObjectHandle image) {
        ImageUse& entry = images[image.getObjGen()];
        if (!entry.image.isInitialized()) entry.image = image;
        return entry;
    }

    static bool isImage(QPDFObjectHandle object) {
        return object.isStream() && object.getDict().getKey("/Subtype").isNameAndEquals("/Image");
    }
    static bool isForm(QPDFObjectHandle object) {
        return object.isStream() && object.getDict().getKey("/Subtype").isNameAndEquals("/Form");
    }

    // Every image named in a resource dictionary is a candidate, drawn or not.
    void listImages(QPDFObjectHandle resources) {
        if (!resources.isDictionary()) return;
        QPDFObjectHandle xobjects = resources.getKey("/XObject");
        if (!xobjects.isDictionary()) return;
        for (auto [name, entry] : xobjects.ditems()) {
            if (isImage(entry)) use(entry);
        }
    }

    void draw(QPDFObjectHandle resources, const std::string& name, const Affine& ctm, int depth) {
        if (++draws_ > maxDraws) return;
        if (!resources.isDictionary()) return;
        QPDFObjectHandle xobjects = resources.getKey("/XObject");
        if (!xobjects.isDictionary()) return;
        QPDFObjectHandle object = xobjects.getKey(name);
        if (isImage(object)) {
            ImageUse& entry = use(object);
            entry.drawn = true;
            if (!ctm.isFinite()) {
                entry.sizeUnknown = true;
                return;
            }
            entry.widthPoints = std::max(entry.widthPoints, ctm.xLength());
            entry.heightPoints = std::max(entry.heightPoints, ctm.yLength());
        } else if (isForm(object)) {
            QPDFObjectHandle dictionary = object.getDict();
            const Affine matrix = affineOf(dictionary.getKey("/Matrix")).value_or(Affine{});
            QPDFObjectHandle own = dictionary.getKey("/Resources");
            form(object, own.isDictionary() ? own : resources, matrix.then(ctm), depth + 1);
        }
    }

    void form(QPDFObjectHandle stream, QPDFObjectHandle resources, const Affine& ctm, int depth) {
        const QPDFObjGen id = stream.getObjGen();
        if (depth > maxNesting || active_.count(id) || ++formWalks_ > maxFormWalks) {
            markAll(resources);
            return;
        }
        listImages(resources);
        sideResources(resources);
        active_.insert(id);
        try {
            Walker walker(*this, resources, ctm, depth);
            stream.parseAsContents(&walker);
        } catch (const std::exception&) {
            markAll(resources);
        }
        active_.erase(id);
    }

    // The normal appearance of an annotation is drawn with its form matrix and then fitted into
    // the annotation's rectangle.
    void appearance(QPDFAnnotationObjectHelper& annotation, const Affine& base) {
        QPDFObjectHandle normal = annotation.getAppearanceDictionary().getKey("/N");
        std::vector<QPDFObjectHandle> streams;
        if (normal.isStream()) {
            streams.push_back(normal);
        } else if (normal.isDictionary()) {
            for (auto [state, entry] : normal.ditems()) {
                if (entry.isStream()) streams.push_back(entry);
            }
        }
        const QPDFObjectHandle::Rectangle rect = annotation.getRect();
        for (QPDFObjectHandle& stream : streams) {
            QPDFObjectHandle dictionary = stream.getDict();
            QPDFObjectHandle resources = dictionary.getKey("/Resources");
            const Affine matrix = affineOf(dictionary.getKey("/Matrix")).value_or(Affine{});
            QPDFObjectHandle box = dictionary.getKey("/BBox");
            std::optional<Affine> fit;
            if (box.isRectangle()) {
                const QPDFObjectHandle::Rectangle bbox = box.getArrayAsRectangle();
                double xs[4], ys[4];
                const double corners[4][2] = {{bbox.llx, bbox.lly}, {bbox.urx, bbox.lly}, {bbox.llx, bbox.ury},
                                              {bbox.urx, bbox.ury}};
                for (int i = 0; i < 4; ++i) {
                    xs[i] = corners[i][0] * matrix.a + corners[i][1] * matrix.c + matrix.e;
                    ys[i] = corners[i][0] * matrix.b + corners[i][1] * matrix.d + matrix.f;
                }
                const double minX = *std::min_element(xs, xs + 4), maxX = *std::max_element(xs, xs + 4);
                const double minY = *std::min_element(ys, ys + 4), maxY = *std::max_element(ys, ys + 4);
                const double rectWidth = std::abs(rect.urx - rect.llx), rectHeight = std::abs(rect.ury - rect.lly);
                if (maxX - minX > 0 && maxY - minY > 0) {
                    const double sx = rectWidth / (maxX - minX), sy = rectHeight / (maxY - minY);
                    fit = Affine{sx, 0, 0, sy, std::min(rect.llx, rect.urx) - minX * sx,
                                 std::min(rect.lly, rect.ury) - minY * sy};
                }
            }
            if (!fit || !fit->isFinite()) {
                markAll(resources);
                continue;
            }
            form(stream, resources, matrix.then(*fit).then(base), 1);
        }
    }

    // Patterns, Type 3 glyphs and soft-mask groups draw in spaces this survey does not follow;
    // their images keep their pixel size.
    void sideResources(QPDFObjectHandle resources) {
        if (!resources.isDictionary()) return;
        const auto each = [&](const char* key, const auto& action) {
            QPDFObjectHandle group = resources.getKey(key);
            if (!group.isDictionary()) return;
            for (auto [name, entry] : group.ditems()) action(entry);
        };
        each("/Pattern", [&](QPDFObjectHandle pattern) {
            if (pattern.isStream()) markAll(pattern.getDict().getKey("/Resources"));
        });
        each("/Font", [&](QPDFObjectHandle font) {
            if (font.isDictionary()) markAll(font.getKey("/Resources"));
        });
        each("/ExtGState", [&](QPDFObjectHandle state) {
            if (!state.isDictionary()) return;
            QPDFObjectHandle mask = state.getKey("/SMask");
            if (mask.isDictionary()) {
                QPDFObjectHandle group = mask.getKey("/G");
                if (group.isStream()) markAll(group.getDict().getKey("/Resources"));
            }
        });
    }

    // Every image reachable from these resources keeps its pixel size.
    void markAll(QPDFObjectHandle resources, int depth = 0) {
        if (!resources.isDictionary() || depth > maxNesting) return;
        if (resources.isIndirect() && !marked_.insert(resources.getObjGen()).second) return;
        QPDFObjectHandle xobjects = resources.getKey("/XObject");
        if (xobjects.isDictionary()) {
            for (auto [name, entry] : xobjects.ditems()) {
                if (isImage(entry)) {
                    use(entry).sizeUnknown = true;
                } else if (isForm(entry) && marked_.insert(entry.getObjGen()).second) {
                    markAll(entry.getDict().getKey("/Resources"), depth + 1);
                }
            }
        }
        for (const char* key : {"/Pattern", "/Font", "/ExtGState"}) {
            QPDFObjectHandle group = resources.getKey(key);
            if (!group.isDictionary()) continue;
            for (auto [name, entry] : group.ditems()) {
                if (entry.isStream()) markAll(entry.getDict().getKey("/Resources"), depth + 1);
                if (!entry.isDictionary()) continue;
                markAll(entry.getKey("/Resources"), depth + 1);
                QPDFObjectHandle mask = entry.getKey("/SMask");
                if (mask.isDictionary() && mask.getKey("/G").isStream()) {
                    markAll(mask.getKey("/G").getDict().getKey("/Resources"), depth + 1);
                }
            }
        }
    }

    std::set<QPDFObjGen> active_;
    std::set<QPDFObjGen> marked_;
    long formWalks_ = 0;
    long draws_ = 0;
};

// ---- which images can be decoded safely ----------------------------------------------------

enum class Coding { general, dct };

struct Layout {
    int width = 0;
    int height = 0;
    int bands = 0;
    Coding coding = Coding::general;
};

// Pixel data larger than this is left alone rather than decoded into memory.
constexpr std::int64_t maxPixelBytes = std::int64_t(1) << 28;

std::optional<std::vector<std::string>> filterNames(QPDFObjectHandle filter) {
    std::vector<std::string> names;
    if (filter.isNull()) return names;
    if (filter.isName()) return std::vector<std::string>{filter.getName()};
    if (!filter.isArray()) return std::nullopt;
    for (QPDFObjectHandle& item : filter.getArrayAsVector()) {
        if (!item.isName()) return std::nullopt;
        names.push_back(item.getName());
    }
    return names;
}

bool isLosslessGeneralFilter(const std::string& name) {
    static const std::set<std::string> known{"/FlateDecode", "/Fl",   "/LZWDecode",       "/LZW",
                                             "/ASCIIHexDecode", "/AHx", "/ASCII85Decode", "/A85",
                                             "/RunLengthDecode", "/RL"};
    return known.count(name) != 0;
}

// 8-bit grey or RGB (device, calibrated, or ICC-based with 1 or 3 components; the samples keep
// their colour space, so their meaning stays), with the default /Decode, stored
// unfiltered, with lossless general filters, or as a lone DCT stream. Masks (`asMask`) must be grey.
std::optional<Layout> decodableLayout(QPDFObjectHandle image, bool asMask) {
    QPDFObjectHandle dictionary = image.getDict();
    if (dictionary.getKey("/ImageMask").isBool() && dictionary.getKey("/ImageMask").getBoolValue()) return std::nullopt;
    QPDFObjectHandle width = dictionary.getKey("/Width"), height = dictionary.getKey("/Height");
    QPDFObjectHandle depth = dictionary.getKey("/BitsPerComponent");
    if (!width.isInteger() || !height.isInteger() || !depth.isInteger() || depth.getIntValue() != 8) {
        return std::nullopt;
    }
    Layout layout;
    if (width.getIntValue() < 1 || height.getIntValue() < 1 || width.getIntValue() > 65535 ||
        height.getIntValue() > 65535) {
        return std::nullopt;
    }
    layout.width = int(width.getIntValue());
    layout.height = int(height.getIntValue());

    QPDFObjectHandle space = dictionary.getKey("/ColorSpace");
    if (asMask) {
        if (!space.isNull() && !space.isNameAndEquals("/DeviceGray")) return std::nullopt;
        layout.bands = 1;
    } else if (space.isNameAndEquals("/DeviceGray")) {
        layout.bands = 1;
    } else if (space.isNameAndEquals("/DeviceRGB")) {
        layout.bands = 3;
    } else if (space.isArray() && space.getArrayNItems() == 2 && space.getArrayItem(0).isNameAndEquals("/CalGray")) {
        layout.bands = 1;
    } else if (space.isArray() && space.getArrayNItems() == 2 && space.getArrayItem(0).isNameAndEquals("/CalRGB")) {
        layout.bands = 3;
    } else if (space.isArray() && space.getArrayNItems() == 2 && space.getArrayItem(0).isNameAndEquals("/ICCBased") &&
               space.getArrayItem(1).isStream()) {
        QPDFObjectHandle components = space.getArrayItem(1).getDict().getKey("/N");
        if (!components.isInteger() || (components.getIntValue() != 1 && components.getIntValue() != 3)) {
            return std::nullopt;
        }
        layout.bands = int(components.getIntValue());
    } else {
        return std::nullopt;
    }
    if (std::int64_t(layout.width) * layout.height * layout.bands > maxPixelBytes) return std::nullopt;

    if (!asMask && !dictionary.getKey("/Mask").isNull()) return std::nullopt;  // colour keys or stencils
    QPDFObjectHandle decode = dictionary.getKey("/Decode");
    if (!decode.isNull()) {
        if (!decode.isArray() || decode.getArrayNItems() != 2 * layout.bands) return std::nullopt;
        for (int i = 0; i < 2 * layout.bands; ++i) {
            QPDFObjectHandle value = decode.getArrayItem(i);
            if (!value.isNumber() || value.getNumericValue() != double(i % 2)) return std::nullopt;
        }
    }

    const std::optional<std::vector<std::string>> filters = filterNames(dictionary.getKey("/Filter"));
    if (!filters) return std::nullopt;
    if (filters->size() == 1 && ((*filters)[0] == "/DCTDecode" || (*filters)[0] == "/DCT")) {
        QPDFObjectHandle parameters = dictionary.getKey("/DecodeParms");
        if (parameters.isDictionary() && parameters.hasKey("/ColorTransform")) return std::nullopt;
        layout.coding = Coding::dct;
        return layout;
    }
    for (const std::string& name : *filters) {
        if (!isLosslessGeneralFilter(name)) return std::nullopt;
    }
    layout.coding = Coding::general;
    return layout;
}

// ---- decoding, resampling, encoding ----------------------------------------------------------

struct Pixels {
    std::shared_ptr<std::string> memory;  // backs `image` for images made from decoded samples
    VImage image;
};

// Decodes an image, shrinking a JPEG by a power of two on the way when `shrink` allows it.
// nullopt when the data does not match its dictionary.
std::optional<Pixels> decode(QPDFObjectHandle image, const Layout& layout, int shrink) {
    Pixels pixels;
    if (layout.coding == Coding::dct) {
        std::shared_ptr<Buffer> raw = image.getRawStreamData();
        const VipsBlobPtr blob = blobCopy({raw->getBuffer(), raw->getSize()});
        VImage header = VImage::jpegload_buffer(blob.get(), VImage::option()->set("fail_on", VIPS_FAIL_ON_ERROR));
        if (header.width() != layout.width || header.height() != layout.height || header.bands() != layout.bands ||
            header.format() != VIPS_FORMAT_UCHAR) {
            return std::nullopt;
        }
        VImage loaded = shrink > 1 ? VImage::jpegload_buffer(blob.get(), VImage::option()
                                                                              ->set("shrink", shrink)
                                                                              ->set("fail_on", VIPS_FAIL_ON_ERROR))
                                   : header;
        pixels.image = loaded.copy_memory();  // decoded now, while the blob lives
        return pixels;
    }
    auto data = std::make_shared<std::string>();
    Pl_String sink("image samples", nullptr, *data);
    if (!image.pipeStreamData(&sink, nullptr, 0, qpdf_dl_specialized, true, false)) return std::nullopt;
    const std::size_t expected = std::size_t(layout.width) * std::size_t(layout.height) * std::size_t(layout.bands);
    if (data->size() < expected) return std::nullopt;
    pixels.memory = data;
    pixels.image = VImage::new_from_memory(data->data(), expected, layout.width, layout.height, layout.bands,
                                           VIPS_FORMAT_UCHAR);
    return pixels;
}

VImage resampled(const VImage& image, int width, int height) {
    if (image.width() == width && image.height() == height) return image;
    VImage result = image.resize(double(width) / image.width(), VImage::option()
                                                                   ->set("vscale", double(height) / image.height())
                                                                   ->set("kernel", VIPS_KERNEL_LANCZOS3));
    if (result.width() != width || result.height() != height) {  // rounding: trim or pad the last line
        result = result.gravity(VIPS_COMPASS_DIRECTION_NORTH_WEST, width, height,
                                VImage::option()->set("extend", VIPS_EXTEND_COPY));
    }
    return result;
}

std::string jpegBytes(const VImage& image, int quality) {
    const VipsInterpretation interpretation = image.bands() == 1 ? VIPS_INTERPRETATION_B_W : VIPS_INTERPRETATION_sRGB;
    VImage tagged = image.copy(VImage::option()->set("interpretation", interpretation));
    return blobBytes<std::string>(tagged.jpegsave_buffer(
        VImage::option()->set("Q", quality)->set("optimize_coding", true)->set("strip", true)));
}

std::string flateBytes(const VImage& image) {
    std::size_t size = 0;
    std::unique_ptr<void, decltype(&std::free)> samples(image.write_to_memory(&size), &std::free);
    std::string compressed;
    Pl_String sink("flate", nullptr, compressed);
    Pl_Flate deflate("flate", &sink, Pl_Flate::a_deflate);
    deflate.write(static_cast<unsigned char*>(samples.get()), size);
    deflate.finish();
    return compressed;
}

std::int64_t storedLength(QPDFObjectHandle stream) {
    return std::int64_t(stream.getRawStreamData()->getSize());
}

void replace(QPDFObjectHandle stream, const std::string& data, const char* filter, int width, int height) {
    stream.replaceStreamData(data, QPDFObjectHandle::newName(filter), QPDFObjectHandle::newNull());
    QPDFObjectHandle dictionary = stream.getDict();
    dictionary.replaceKey("/Width", QPDFObjectHandle::newInteger(width));
    dictionary.replaceKey("/Height", QPDFObjectHandle::newInteger(height));
    dictionary.replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(8));
}

// ---- the pass --------------------------------------------------------------------------------

struct Target {
    int width;
    int height;
};

// The pixel size an image should have: each side at most the resolution times the largest drawn
// extent, never larger than it is, bounded by the settings' longest side.
Target targetSize(const ImageUse& use, const Layout& layout, const PDFProfile::FilterSettings& settings,
                  bool resizable) {
    Target target{layout.width, layout.height};
    if (!resizable) return target;
    // An image only ever drawn at no size at all tells nothing about the size it needs.
    if (use.drawn && !use.sizeUnknown && settings.resolution > 0 && use.widthPoints > 0 && use.heightPoints > 0) {
        const auto side = [&](double points, int pixels) {
            const double wanted = std::ceil(points / 72.0 * settings.resolution - 1e-6);
            return wanted < pixels ? std::max(1, int(wanted)) : pixels;
        };
        target = {side(use.widthPoints, layout.width), side(use.heightPoints, layout.height)};
    }
    if (settings.imageSizeMax > 0 && std::max(target.width, target.height) > settings.imageSizeMax) {
        const double scale = double(settings.imageSizeMax) / std::max(target.width, target.height);
        target = {std::max(1, int(std::lround(target.width * scale))), std::max(1, int(std::lround(target.height * scale)))};
    }
    return target;
}

int shrinkFor(const Layout& layout, const Target& target) {
    if (layout.coding != Coding::dct) return 1;
    int shrink = 1;
    // Shrinking while decoding stays at or above the target; the resampling filter does the rest.
    while (shrink < 8 && layout.width / (shrink * 2) >= target.width && layout.height / (shrink * 2) >= target.height) {
        shrink *= 2;
    }
    return shrink;
}

class Pass {
public:
    Pass(const PDFProfile::FilterSettings& settings, Outcome& outcome) : settings_(settings), outcome_(outcome) {}

    std::set<QPDFObjGen> rewritten;  // streams this pass has replaced

    // Masks are counted first: an image that is another's mask is rewritten only with its owner.
    void noteMasks(std::map<QPDFObjGen, ImageUse>& images) {
        for (auto& [id, use] : images) {
            QPDFObjectHandle dictionary = use.image.getDict();
            for (const char* key : {"/SMask", "/Mask"}) {
                QPDFObjectHandle mask = dictionary.getKey(key);
                if (mask.isStream()) ++maskOwners_[mask.getObjGen()];
            }
        }
    }

    void image(const ImageUse& use) {
        QPDFObjectHandle image = use.image;
        if (maskOwners_.count(image.getObjGen())) return;
        const std::optional<Layout> layout = decodableLayout(image, false);
        if (!layout) return;
        if (settings_.imageSizeMin > 0 && std::max(layout->width, layout->height) <= settings_.imageSizeMin) return;

        QPDFObjectHandle mask = image.getDict().getKey("/SMask");
        std::optional<Layout> maskLayout;
        bool maskFollows = false;
        if (mask.isStream()) {
            maskLayout = decodableLayout(mask, true);
            maskFollows = maskLayout && maskOwners_[mask.getObjGen()] == 1;
        }
        // A matted mask must keep the image's own size, so such an image changes size only with it.
        const bool matted = mask.isStream() && !mask.getDict().getKey("/Matte").isNull();
        const bool resizable = !matted || (maskFollows && maskLayout->width == layout->width &&
                                           maskLayout->height == layout->height);
        const Target target = targetSize(use, *layout, settings_, resizable);
        const bool downsample = target.width < layout->width || target.height < layout->height;

        const std::optional<Pixels> pixels = decode(image, *layout, downsample ? shrinkFor(*layout, target) : 1);
        if (!pixels) return;
        const VImage output = resampled(pixels->image, target.width, target.height);

        std::string best = jpegBytes(output, settings_.jpegQuality());
        const char* filter = "/DCTDecode";
        if (downsample && layout->coding != Coding::dct) {  // a photo stays a photo; drawings may not
            std::string flate = flateBytes(output);
            if (flate.size() < best.size()) {
                best = std::move(flate);
                filter = "/FlateDecode";
            }
        }
        if (std::int64_t(best.size()) >= storedLength(image)) return;  // never replace by something larger

        if (downsample && maskFollows) {
            const int maskWidth = maskLayout->width == layout->width
                                      ? target.width
                                      : std::max(1, int(std::lround(double(maskLayout->width) * target.width / layout->width)));
            const int maskHeight = maskLayout->height == layout->height
                                       ? target.height
                                       : std::max(1, int(std::lround(double(maskLayout->height) * target.height / layout->height)));
            if (!followMask(mask, *maskLayout, maskWidth, maskHeight, matted) && matted) return;
        }
        replace(image, best, filter, target.width, target.height);
        rewritten.insert(image.getObjGen());
        ++outcome_.imagesReplaced;
        if (downsample) ++outcome_.imagesDownsampled;
    }

private:
    // Brings a soft mask to its image's new size, kept lossless. A matted mask must follow even
    // when that does not save bytes. False when the mask stays as it was.
    bool followMask(QPDFObjectHandle mask, const Layout& layout, int width, int height, bool mustFollow) {
        try {
            if (width >= layout.width && height >= layout.height) return false;
            const std::optional<Pixels> pixels = decode(mask, layout, 1);
            if (!pixels) return false;
            const std::string data = flateBytes(resampled(pixels->image, width, height));
            if (!mustFollow && std::int64_t(data.size()) >= storedLength(mask)) return false;
            replace(mask, data, "/FlateDecode", width, height);
            mask.getDict().removeKey("/Decode");
            rewritten.insert(mask.getObjGen());
            return true;
        } catch (const std::exception&) {
            return false;
        }
    }

    const PDFProfile::FilterSettings& settings_;
    Outcome& outcome_;
    std::map<QPDFObjGen, int> maskOwners_;
};

// Streams stored with Flate alone are deflated again at the strongest level, and the new data is
// kept only where it is smaller: the decoded bytes stay exactly what they were.
constexpr std::size_t maxInflatedBytes = std::size_t(1) << 28;

void useStrongestFlate() {
    static std::once_flag once;
    std::call_once(once, [] { Pl_Flate::setCompressionLevel(9); });  // also for the streams the writer compresses
}

bool isFlateOnly(QPDFObjectHandle stream) {
    const std::optional<std::vector<std::string>> filters = filterNames(stream.getDict().getKey("/Filter"));
    return filters && filters->size() == 1 && ((*filters)[0] == "/FlateDecode" || (*filters)[0] == "/Fl");
}

class InflatedSizeGuard : public Pipeline {
public:
    explicit InflatedSizeGuard(Pipeline* sink) : Pipeline("inflated size guard", sink) {}
    void write(unsigned char const* data, size_t length) override {
        total_ += length;
        if (total_ > maxInflatedBytes) throw std::length_error("stream too large to recompress");
        getNext()->write(data, length);
    }
    void finish() override { getNext()->finish(); }

private:
    std::size_t total_ = 0;
};

std::string deflated(const std::string& data) {
    std::string compressed;
    Pl_String sink("deflated", nullptr, compressed);
    Pl_Flate deflate("deflate", &sink, Pl_Flate::a_deflate);
    deflate.write(reinterpret_cast<const unsigned char*>(data.data()), data.size());
    deflate.finish();
    return compressed;
}

// Deflates a stream again at the strongest level and keeps the result where it is smaller. A
// stream with a predictor is stored without it (the plain decoded bytes, deflated), which suits
// the strongest level better on the whole.
bool recompressFlate(QPDFObjectHandle stream) {
    if (!stream.isStream() || !isFlateOnly(stream)) return false;
    QPDFObjectHandle dictionary = stream.getDict();
    QPDFObjectHandle type = dictionary.getKey("/Type");
    if (type.isNameAndEquals("/ObjStm") || type.isNameAndEquals("/XRef")) return false;  // the writer makes these anew
    QPDFObjectHandle parameters = dictionary.getKey("/DecodeParms");
    const bool predicted = parameters.isDictionary() && parameters.getKey("/Predictor").isInteger() &&
                           parameters.getKey("/Predictor").getIntValue() >= 2;
    const std::shared_ptr<Buffer> raw = stream.getRawStreamData();
    std::string decoded;
    {
        Pl_String sink("decoded", nullptr, decoded);
        InflatedSizeGuard guard(&sink);
        if (predicted) {
            if (!stream.pipeStreamData(&guard, nullptr, 0, qpdf_dl_generalized, true, false)) return false;
        } else {
            Pl_Flate inflate("inflate", &guard, Pl_Flate::a_inflate);
            bool damaged = false;
            inflate.setWarnCallback([&](char const*, int) { damaged = true; });
            inflate.write(raw->getBuffer(), raw->getSize());
            inflate.finish();
            if (damaged) return false;
        }
    }
    const std::string best = deflated(decoded);
    if (best.size() >= raw->getSize()) return false;
    // The filter stays; the parameters stay too unless the predictor was taken out.
    stream.replaceStreamData(best, QPDFObjectHandle(), predicted ? QPDFObjectHandle::newNull() : QPDFObjectHandle());
    return true;
}

// A document that already packs its objects into object streams keeps its packing; one that
// does not gets object streams.
bool usesObjectStreams(QPDF& document) {
    for (const auto& [id, entry] : document.getXRefTable()) {
        if (entry.getType() == 2) return true;
    }
    return false;
}

}  // namespace

Outcome apply(const std::filesystem::path& source, const std::filesystem::path& destination,
              const PDFProfile::FilterSettings& settings, const std::function<bool()>& isCancelled) {
    VipsRuntime::start();
    useStrongestFlate();
    Outcome outcome;
    QPDF document;
    document.setSuppressWarnings(true);
    document.processFile(source.c_str());

    Survey survey;
    for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(document).getAllPages()) survey.page(page);
    if (survey.exhausted()) {
        for (auto& [id, use] : survey.images) use.sizeUnknown = true;
    }
    outcome.imagesFound = int(survey.images.size());

    Pass pass(settings, outcome);
    pass.noteMasks(survey.images);
    for (const auto& [id, use] : survey.images) {
        if (isCancelled && isCancelled()) {
            outcome.cancelled = true;
            return outcome;
        }
        try {
            pass.image(use);
        } catch (const std::exception&) {
            // Undecodable or unencodable: the image stays as it was.
        }
    }
    if (isCancelled && isCancelled()) {
        outcome.cancelled = true;
        return outcome;
    }
    const bool packed = usesObjectStreams(document);
    for (QPDFObjectHandle& object : document.getAllObjects()) {
        if (pass.rewritten.count(object.getObjGen())) continue;
        try {
            if (recompressFlate(object)) ++outcome.streamsRecompressed;
        } catch (const std::exception&) {
            // Kept as it was.
        }
    }
    if (isCancelled && isCancelled()) {
        outcome.cancelled = true;
        return outcome;
    }

    QPDFWriter writer(document, destination.c_str());
    writer.setObjectStreamMode(packed ? qpdf_o_preserve : qpdf_o_generate);
    writer.setCompressStreams(true);
    writer.setDecodeLevel(qpdf_dl_generalized);
    writer.setRecompressFlate(false);
    writer.write();
    return outcome;
}

}  // namespace dorvex::PDFImageFilter
