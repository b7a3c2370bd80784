#include "pdf/PDFImageSurvey.h"

#include <qpdf/QPDFAnnotationObjectHelper.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "pdf/PDFStreamBound.h"

namespace dorvex::PDFImageSurvey {

namespace {

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
            if (!affordable(page.getObjectHandle().getKey("/Contents"))) throw PDFStreamBound::TooLarge();
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

    bool exhausted() const { return formWalks_ > maxFormWalks || draws_ > maxDraws || bytesRead_ > PDFStreamBound::maxSurveyBytes; }

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
            if (!affordable(stream)) throw PDFStreamBound::TooLarge();
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
                // Each object once: patterns, fonts and forms that name one another in their
                // resources would otherwise be walked exponentially often.
                if (entry.isIndirect() && !marked_.insert(entry.getObjGen()).second) continue;
                if (entry.isStream()) markAll(entry.getDict().getKey("/Resources"), depth + 1);
                if (!entry.isDictionary()) continue;
                markAll(entry.getKey("/Resources"), depth + 1);
                QPDFObjectHandle mask = entry.getKey("/SMask");
                if (!mask.isDictionary()) continue;
                QPDFObjectHandle maskGroup = mask.getKey("/G");
                if (maskGroup.isStream() && marked_.insert(maskGroup.getObjGen()).second) {
                    markAll(maskGroup.getDict().getKey("/Resources"), depth + 1);
                }
            }
        }
    }

    // Whether content (a stream or an array of streams) may be parsed: each stream decodes within
    // the content bound and the survey's budget is not spent. Reading it counts against the budget.
    bool affordable(QPDFObjectHandle content) {
        std::vector<QPDFObjectHandle> streams;
        if (content.isArray()) {
            streams = content.getArrayAsVector();
        } else {
            streams.push_back(content);
        }
        std::size_t total = 0;
        for (QPDFObjectHandle& stream : streams) {
            if (!stream.isStream()) continue;
            auto [known, fresh] = decodedSizes_.try_emplace(stream.getObjGen());
            if (fresh) known->second = PDFStreamBound::decodedSize(stream, PDFStreamBound::maxContentBytes);
            if (!known->second) return false;
            total += *known->second;
        }
        bytesRead_ += total;
        return total <= PDFStreamBound::maxContentBytes && bytesRead_ <= PDFStreamBound::maxSurveyBytes;
    }

    std::set<QPDFObjGen> active_;
    std::set<QPDFObjGen> marked_;
    std::map<QPDFObjGen, std::optional<std::size_t>> decodedSizes_;
    long formWalks_ = 0;
    long draws_ = 0;
    std::size_t bytesRead_ = 0;
};

}  // namespace

std::map<QPDFObjGen, ImageUse> run(QPDF& document) {
    Survey survey;
    for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(document).getAllPages()) survey.page(page);
    if (survey.exhausted()) {
        for (auto& [id, use] : survey.images) use.sizeUnknown = true;
    }
    return std::move(survey.images);
}

}  // namespace dorvex::PDFImageSurvey
