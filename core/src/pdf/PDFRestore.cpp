// Page restoration: the part of the PDF compressor that puts source pages back into the filtered
// document without breaking what points at them.

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "pdf/PDFCompressor.h"

namespace dorvex::PDFCompressor {

namespace {

using Replacements = std::map<QPDFObjGen, QPDFObjectHandle>;

std::optional<QPDFObjectHandle> replacementFor(QPDFObjectHandle item, const Replacements& replacements) {
    if (!item.isIndirect()) return std::nullopt;
    const auto found = replacements.find(item.getObjGen());
    if (found == replacements.end()) return std::nullopt;
    return found->second;
}

// Swaps every reference to a replaced page inside one object (and its direct parts) for the page
// that took its place. Indirect parts are objects of their own and get their own turn.
void repoint(QPDFObjectHandle object, const Replacements& replacements) {
    if (object.isStream()) {
        repoint(object.getDict(), replacements);
    } else if (object.isArray()) {
        const int count = object.getArrayNItems();
        for (int i = 0; i < count; ++i) {
            QPDFObjectHandle item = object.getArrayItem(i);
            if (auto page = replacementFor(item, replacements)) {
                object.setArrayItem(i, *page);
            } else if (!item.isIndirect()) {
                repoint(item, replacements);
            }
        }
    } else if (object.isDictionary()) {
        for (const std::string& key : object.getKeys()) {
            QPDFObjectHandle item = object.getKey(key);
            if (auto page = replacementFor(item, replacements)) {
                object.replaceKey(key, *page);
            } else if (!item.isIndirect()) {
                repoint(item, replacements);
            }
        }
    }
}

// The explicit destination array of a link annotation: its go-to action's /D, or its own /Dest.
// Named destinations need nothing: the target's own name tree is re-pointed with everything else.
struct LinkDestination {
    QPDFObjectHandle holder;  // the action or the annotation
    std::string key;          // "/D" or "/Dest"
    QPDFObjectHandle array;
};

std::optional<LinkDestination> explicitDestination(QPDFObjectHandle annotation) {
    if (!annotation.isDictionary() || !annotation.getKey("/Subtype").isNameAndEquals("/Link")) return std::nullopt;
    QPDFObjectHandle action = annotation.getKey("/A");
    if (action.isDictionary()) {
        if (!action.getKey("/S").isNameAndEquals("/GoTo")) return std::nullopt;
        QPDFObjectHandle destination = action.getKey("/D");
        if (destination.isArray() && destination.getArrayNItems() >= 1) return LinkDestination{action, "/D", destination};
        return std::nullopt;
    }
    QPDFObjectHandle destination = annotation.getKey("/Dest");
    if (destination.isArray() && destination.getArrayNItems() >= 1) return LinkDestination{annotation, "/Dest", destination};
    return std::nullopt;
}

bool isWidget(QPDFObjectHandle annotation) {
    return annotation.isDictionary() && annotation.getKey("/Subtype").isNameAndEquals("/Widget");
}

}  // namespace

bool restore(const std::vector<int>& pageIndices, QPDF& source, QPDF& target) {
    try {
        QPDFPageDocumentHelper sourceHelper(source), targetHelper(target);
        std::vector<QPDFPageObjectHelper> sourcePages = sourceHelper.getAllPages();
        if (sourcePages.size() != targetHelper.getAllPages().size()) return false;
        std::vector<int> indices = pageIndices;
        std::sort(indices.begin(), indices.end());
        indices.erase(std::unique(indices.begin(), indices.end()), indices.end());
        for (int index : indices) {
            if (index < 0 || std::size_t(index) >= sourcePages.size()) return false;
        }
        std::map<QPDFObjGen, int> sourceIndex;
        for (std::size_t i = 0; i < sourcePages.size(); ++i) {
            sourceIndex[sourcePages[i].getObjectHandle().getObjGen()] = int(i);
        }

        Replacements replacements;
        for (int index : indices) {
            QPDFPageObjectHelper old = targetHelper.getAllPages()[std::size_t(index)];
            QPDFObjectHandle oldPage = old.getObjectHandle();
            QPDFObjectHandle sourcePage = sourcePages[std::size_t(index)].getObjectHandle();

            // Where the source page's links lead, by page index, read before copying: a copied
            // reference to a page that is not copied becomes null.
            std::vector<std::optional<int>> linkTargets;
            QPDFObjectHandle sourceAnnotations = sourcePage.getKey("/Annots");
            if (sourceAnnotations.isArray()) {
                for (QPDFObjectHandle& annotation : sourceAnnotations.getArrayAsVector()) {
                    std::optional<int> leadsTo;
                    if (auto destination = explicitDestination(annotation)) {
                        QPDFObjectHandle page = destination->array.getArrayItem(0);
                        if (page.isIndirect()) {
                            if (auto found = sourceIndex.find(page.getObjGen()); found != sourceIndex.end()) {
                                leadsTo = found->second;
                            }
                        }
                    }
                    linkTargets.push_back(leadsTo);
                }
            }

            targetHelper.addPageAt(sourcePages[std::size_t(index)], true, old);
            targetHelper.removePage(old);
            QPDFObjectHandle inserted = targetHelper.getAllPages()[std::size_t(index)].getObjectHandle();
            replacements[oldPage.getObjGen()] = inserted;

            QPDFObjectHandle annotations = inserted.getKey("/Annots");
            if (!annotations.isArray() || std::size_t(annotations.getArrayNItems()) != linkTargets.size()) continue;
            QPDFObjectHandle oldAnnotations = oldPage.getKey("/Annots");
            const bool sameLayout = oldAnnotations.isArray() && oldAnnotations.getArrayNItems() == annotations.getArrayNItems();
            const std::vector<QPDFObjectHandle> targetPages = [&] {
                std::vector<QPDFObjectHandle> handles;
                for (QPDFPageObjectHelper& page : targetHelper.getAllPages()) handles.push_back(page.getObjectHandle());
                return handles;
            }();
            for (int k = 0; k < annotations.getArrayNItems(); ++k) {
                QPDFObjectHandle annotation = annotations.getArrayItem(k);
                // A form field's widget is known to the document's form by identity: keep the target's.
                if (sameLayout && isWidget(annotation) && isWidget(oldAnnotations.getArrayItem(k))) {
                    QPDFObjectHandle widget = oldAnnotations.getArrayItem(k);
                    widget.replaceKey("/P", inserted);
                    annotations.setArrayItem(k, widget);
                    continue;
                }
                const std::optional<int> leadsTo = linkTargets[std::size_t(k)];
                if (!leadsTo) continue;
                if (auto destination = explicitDestination(annotation)) {
                    std::vector<QPDFObjectHandle> items = destination->array.getArrayAsVector();
                    items[0] = targetPages[std::size_t(*leadsTo)];
                    destination->holder.replaceKey(destination->key, QPDFObjectHandle::newArray(items));
                }
            }
        }

        if (!replacements.empty()) {
            for (QPDFObjectHandle& object : target.getAllObjects()) {
                if (replacements.count(object.getObjGen())) continue;  // the removed pages themselves
                repoint(object, replacements);
            }
            QPDFObjectHandle trailer = target.getTrailer();
            repoint(trailer, replacements);
        }
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace dorvex::PDFCompressor
