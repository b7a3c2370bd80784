#pragma once
// PDFImageSurvey: private to the PDF filter. Follows every page's content, its forms (with their
// matrices) and its annotation appearances through q/Q/cm/Do, and learns for each image XObject
// the largest size at which it is drawn, or that its drawn size cannot be known.

#include <qpdf/QPDF.hh>

#include <map>

namespace dorvex::PDFImageSurvey {

struct ImageUse {
    QPDFObjectHandle image;
    double widthPoints = 0;   // largest drawn extent along the image's rows, in 1/72 inch
    double heightPoints = 0;  // the same along its columns
    bool drawn = false;
    bool sizeUnknown = false;  // also reached where its drawn size is not followed: keep its pixel size
};

// Every image named in the resources of the document's pages, forms and appearances, by object.
// When the walk runs out of its budget (a hostile file), every size counts as unknown.
std::map<QPDFObjGen, ImageUse> run(QPDF& document);

}  // namespace dorvex::PDFImageSurvey
