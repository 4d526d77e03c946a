#include "platform/sandbox.h"
#include "platform/system_language.h"
#include "uikit/UIControls.h"

namespace ns {

namespace {

struct SystemText {
    UISystemText key;
    const char* english;
    const char* spanish;
};

// The wording a phone set to that language shows.
constexpr SystemText kTexts[] = {
    {UISystemText::Back, "Back", "Atrás"},
    {UISystemText::Cancel, "Cancel", "Cancelar"},
    {UISystemText::Search, "Search", "Buscar"},
    {UISystemText::AirDrop, "AirDrop", "AirDrop"},
    {UISystemText::Message, "Message", "Mensaje"},
    {UISystemText::Mail, "Mail", "Correo"},
    {UISystemText::Facebook, "Facebook", "Facebook"},
    {UISystemText::Copy, "Copy", "Copiar"},
    {UISystemText::SaveImage, "Save Image", "Guardar imagen"},
    {UISystemText::Camera, "Camera", "Cámara"},
    {UISystemText::PhotoLibrary, "Photo Library", "Fototeca"},
    {UISystemText::SavedPhotos, "Camera Roll", "Carrete"},
    {UISystemText::TakePhoto, "Take Photo", "Tomar foto"},
};

}  // namespace

std::string UISystemString(UISystemText text, const std::string& localeIdentifier) {
    for (const auto& entry : kTexts) {
        if (entry.key != text) continue;
        return systemLanguageOf(localeIdentifier) == SystemLanguage::Spanish ? entry.spanish : entry.english;
    }
    return {};
}

std::string UISystemString(UISystemText text) {
    return UISystemString(text, Sandbox::current()->deviceProfile().localeIdentifier);
}

}  // namespace ns
