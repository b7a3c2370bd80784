#include "pdf/PDFFlate.h"

#include <qpdf/Pl_Flate.hh>
#include <qpdf/Pl_String.hh>

#include <memory>
#include <mutex>
#include <stdexcept>

#include "pdf/PDFStreamBound.h"

namespace dorvex::PDFFlate {

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

void useStrongestLevel() {
    static std::once_flag once;
    std::call_once(once, [] { Pl_Flate::setCompressionLevel(9); });  // also for the streams the writer compresses
}

std::string deflated(const unsigned char* data, std::size_t size) {
    std::string compressed;
    Pl_String sink("deflated", nullptr, compressed);
    Pl_Flate deflate("deflate", &sink, Pl_Flate::a_deflate);
    deflate.write(data, size);
    deflate.finish();
    return compressed;
}

namespace {

bool isFlateOnly(QPDFObjectHandle stream) {
    const std::optional<std::vector<std::string>> filters = filterNames(stream.getDict().getKey("/Filter"));
    return filters && filters->size() == 1 && ((*filters)[0] == "/FlateDecode" || (*filters)[0] == "/Fl");
}

// A stream that inflates to more than this is left as it is: an image may take a few times its
// samples, anything else as much as a content stream.
std::size_t inflationBound(QPDFObjectHandle dictionary) {
    QPDFObjectHandle width = dictionary.getKey("/Width"), height = dictionary.getKey("/Height");
    if (dictionary.getKey("/Subtype").isNameAndEquals("/Image") && width.isInteger() && height.isInteger()) {
        // At most four components of 16 bits: eight bytes a pixel.
        return PDFStreamBound::imageBound(width.getIntValue(), height.getIntValue(), 8);
    }
    return PDFStreamBound::maxContentBytes;
}

}  // namespace

// Deflates a stream again at the strongest level and keeps the result where it is smaller. A
// stream with a predictor is stored without it (the plain decoded bytes, deflated), which suits
// the strongest level better on the whole.
bool recompress(QPDFObjectHandle stream) {
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
        PDFStreamBound::Guard guard(&sink, inflationBound(dictionary));
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
    const std::string best = deflated(reinterpret_cast<const unsigned char*>(decoded.data()), decoded.size());
    if (best.size() >= raw->getSize()) return false;
    // The filter stays; the parameters stay too unless the predictor was taken out.
    stream.replaceStreamData(best, QPDFObjectHandle(), predicted ? QPDFObjectHandle::newNull() : QPDFObjectHandle());
    return true;
}

}  // namespace dorvex::PDFFlate
