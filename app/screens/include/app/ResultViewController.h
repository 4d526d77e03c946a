#pragma once
// The product result ("ResCon"): the product the look-up just found, read
// from the user-defaults hand-over keys: description, code, regular price,
// offer and its days, margin, and the photo products/<code>.jpg (at most
// 1 MiB) downloaded from storage over the placeholder. Leads to the
// quotation's quantity entry, to the stock per store, and shares a picture
// of the screen. A key that is missing or of another type leaves its label
// empty; without a code nothing is downloaded.
//
// Main thread only.

#include <memory>

#include "app/ActivityInicator.h"
#include "app/ColorFromHex.h"
#include "uikit/UIControls.h"
#include "uikit/UIViewController.h"

namespace almavel {

inline constexpr int64_t kMaxPhotoBytes = 1048576;

class ResultViewController : public ns::UIViewController {
public:
    ResultViewController();

    ActivityInicator actInd;
    ColorFromHex cfhex;

    std::weak_ptr<ns::UIButton> btAdd, btCons, btShare;
    std::weak_ptr<ns::UILabel> txtDescrip, txtPrecio, txtCodigo, txtOferta, txtFecOferta, txtMargen;
    std::weak_ptr<ns::UIImageView> prodPhoto;

    void loadView() override;
    void viewDidLoad() override;

    // Actions.
    void addQuote(const ns::ObjectPtr& sender);
    void conDispo(const ns::ObjectPtr& sender);
    void sharePhoto(const ns::ObjectPtr& sender);

    void loadProductPhoto(const std::string& code);

    // The picture the photo view shows until the download replaces it.
    static std::shared_ptr<ns::UIImage> placeholderImage();
};

}  // namespace almavel
