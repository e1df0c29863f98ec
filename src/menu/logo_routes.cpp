// Logos: images kept in the account database for menus, uploaded as a data URI or a file,
// listed, served to the browser and deleted.
#include "route_support.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace tavolex::menu {

namespace {

constexpr size_t kMaxImageBytes = 512000;
constexpr int kMaxLogos = 10;
constexpr std::string_view kLogoType = "MenuLogo";

int LogoCount(db::AccountDatabase& db)
{
    db::DbQuery count;
    db.Query(count, "SELECT COUNT(*) FROM %s.USER_IMAGES WHERE TYPE = '%Q';", db.GetDatabaseName(), kLogoType);
    return count.ColumnInt(0);
}

void SendUploadAnswer(web::WebRequest& request, std::string_view id, std::string_view mimeType)
{
    SendAnswer(request, [&](JsonWriter& writer) {
        writer.String("logoId", id);
        writer.String("logoMimetype", mimeType);
    });
}

// Stores the picture and answers: the upload routes' common end.
void StoreAndAnswer(web::WebRequest& request, std::string_view mimeType, std::string_view bytes)
{
    std::string id;
    if (!StoreUserImage(account::RequestDatabase(request), {}, mimeType, bytes, id)) {
        web::SendError(request, 500, "Internal server error");
        return;
    }
    SendUploadAnswer(request, id, mimeType);
}

void LogoUploadData(web::WebRequest& request, JsonValue& body)
{
    if (!account::CheckAccess(request))
        return;
    if (!IsAdministrator(request)) {
        web::SendError(request, 403, "Unauthorized");
        return;
    }
    const JsonMember* member = body.FindMember("data");
    std::string_view text = member && member->type() == JsonValueType::String ? std::string_view(member->text()) : std::string_view();
    size_t cursor = text.find("data:");
    if (cursor == std::string_view::npos || cursor + 5 >= text.size()) {
        web::SendError(request, 400, "Bad data uri format");
        return;
    }
    cursor += 5;
    size_t semicolon = text.find(';', cursor);
    std::string_view declared = text.substr(cursor, semicolon == std::string_view::npos ? std::string_view::npos : semicolon - cursor);
    cursor = semicolon == std::string_view::npos ? text.size() : semicolon + 1;
    if (cursor >= text.size()) {
        web::SendError(request, 400, "Bad data uri format");
        return;
    }
    if (!declared.starts_with("image")) {
        web::SendError(request, 400, "Only image type is supported");
        return;
    }
    size_t marker = text.find("base64,", cursor);
    std::string_view payload = marker == std::string_view::npos ? std::string_view() : text.substr(marker + 7);
    if (payload.empty()) {
        web::SendError(request, 400, "Bad data uri format");
        return;
    }
    std::string bytes = DecodeBase64Loosely(payload);
    if (bytes.empty()) {
        web::SendError(request, 400, "Invalid data");
        return;
    }
    // Whatever the URI claims, only a picture the menus can draw is kept: the stored type is
    // what the bytes are, so a page or a script can never be served back as a "logo".
    std::string_view sniffed = SniffImageType(bytes);
    if (sniffed.empty()) {
        web::SendError(request, 400, "Only image type is supported");
        return;
    }
    if (bytes.size() > kMaxImageBytes) {
        web::SendError(request, 400, "Maximum upload size is 500kb");
        return;
    }
    if (LogoCount(account::RequestDatabase(request)) >= kMaxLogos) {
        web::SendError(request, 400, "User upload limit reached");
        return;
    }
    StoreAndAnswer(request, sniffed, bytes);
}

void LogoUploadFile(web::WebRequest& request)
{
    if (!account::CheckAccess(request))
        return;
    if (!IsAdministrator(request)) {
        web::SendError(request, 403, "Unauthorized");
        return;
    }
    std::vector<web::UploadedFile> files;
    bool tooLarge = false;
    bool received = web::ReadMultipartUpload(request, files, tooLarge);
    // Every temporary file goes, whatever the answer.
    struct Cleanup {
        std::vector<web::UploadedFile>& files;
        ~Cleanup()
        {
            for (const web::UploadedFile& file : files)
                if (!file.temporaryPath.empty())
                    std::remove(file.temporaryPath.c_str());
        }
    } cleanup{files};
    if (!received || files.empty()) {
        web::SendError(request, 400, tooLarge ? "Maximum upload size is 500kb" : "Missing upload file");
        return;
    }
    const web::UploadedFile& file = files.front();
    if (LogoCount(account::RequestDatabase(request)) > kMaxLogos - 1) {
        web::SendError(request, 400, "User upload limit reached");
        return;
    }
    if (!web::LookUpContentType(file.fileName).type.starts_with("image")) {
        web::SendError(request, 400, "File type not supported");
        return;
    }
    std::ifstream in(file.temporaryPath, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    std::string bytes = content.str();
    if (bytes.size() > kMaxImageBytes) {
        web::SendError(request, 400, "Maximum upload size is 500kb");
        return;
    }
    std::string_view sniffed = SniffImageType(bytes);
    if (sniffed.empty()) {
        web::SendError(request, 400, "File type not supported");
        return;
    }
    StoreAndAnswer(request, sniffed, bytes);
}

void LogosFetch(web::WebRequest& request)
{
    if (!account::CheckAccess(request))
        return;
    if (!IsAdministrator(request)) {
        web::SendError(request, 403, "Unauthorized");
        return;
    }
    db::AccountDatabase& db = account::RequestDatabase(request);
    SendAnswer(request, [&](JsonWriter& writer) {
        writer.BeginArray("rlogos");
        db::DbQuery rows;
        for (db.Query(rows, "SELECT ID as id FROM %s.USER_IMAGES WHERE TYPE = '%Q';", db.GetDatabaseName(), kLogoType);
             rows.HasRow(); db.NextRow(rows)) {
            writer.BeginObject();
            writer.String("id", rows.ColumnText(0));
            writer.EndObject();
        }
        writer.EndArray();
    });
}

void LogoServeFile(web::WebRequest& request)
{
    if (account::RequestSession(request).id.empty()) {
        web::SendStatus(request, 403, "Forbidden");
        return;
    }
    if (!account::CheckAccess(request))
        return;
    if (!IsAdministrator(request)) {
        web::SendStatus(request, 403, "Forbidden");
        return;
    }
    std::string id = web::Get(request.parameters, "file");
    if (id.empty()) {
        web::SendStatus(request, 404, "Not Found");
        return;
    }
    db::AccountDatabase& db = account::RequestDatabase(request);
    db::DbQuery image;
    db.Query(image, "SELECT MIMETYPE, IMAGE FROM %s.USER_IMAGES WHERE ID = '%Q' LIMIT 1;", db.GetDatabaseName(), id);
    if (!image.HasRow()) {
        web::SendStatus(request, 404, "Not Found");
        return;
    }
    web::SendImageFile(request, image.ColumnText(1), image.ColumnText(0));
}

void LogoDelete(web::WebRequest& request, JsonValue& body)
{
    if (!account::CheckAccess(request))
        return;
    if (!IsAdministrator(request)) {
        web::SendError(request, 403, "Unauthorized");
        return;
    }
    std::string id = MemberText(body, "logoId");
    if (id.empty()) {
        web::SendError(request, 400, "Missing parameter(s): logoId");
        return;
    }
    db::AccountDatabase& db = account::RequestDatabase(request);
    if (!db.ExecuteFormat("DELETE FROM %s.USER_IMAGES WHERE ID = '%Q';", db.GetDatabaseName(), id)) {
        SendDatabaseFailure(request, db, "api/menu/logodelete");
        return;
    }
    SendAnswer(request, [&](JsonWriter& writer) {
        writer.String("logoId", id);
    });
}

} // namespace

std::string_view SniffImageType(std::string_view bytes)
{
    if (bytes.starts_with("\x89PNG\r\n\x1A\n"))
        return "image/png";
    if (bytes.starts_with("\xFF\xD8\xFF"))
        return "image/jpeg";
    if (bytes.starts_with("GIF87a") || bytes.starts_with("GIF89a"))
        return "image/gif";
    if (bytes.size() >= 12 && bytes.starts_with("RIFF") && bytes.substr(8, 4) == "WEBP")
        return "image/webp";
    return {};
}

bool StoreUserImage(db::AccountDatabase& db, std::string_view existingId, std::string_view mimeType,
                    std::string_view bytes, std::string& id)
{
    std::string schema = db.GetDatabaseName();
    if (!existingId.empty()) {
        db.ExecuteFormat("DELETE FROM %s.USER_IMAGES WHERE ID = '%Q';", schema, existingId);
        id = std::string(existingId);
    } else {
        id = Format("%s%s", "user_logo_", db::AccountDatabase::CreatePrimaryKey());
    }
    std::string sql = Format("INSERT INTO %s.USER_IMAGES (ID, MIMETYPE, TYPE, IMAGE) VALUES ('%s', '%Q', '%Q', ?);", schema, id,
                             CutUtf8ToUnits(mimeType, kFieldUnits), kLogoType);
    return db.ExecuteWithBlob(sql, bytes);
}

void InstallLogoRoutes()
{
    web::RouteRegistry& routes = web::RouteRegistry::Get();
    for (std::string_view path : {"api/menu/logouploaddata", "logouploaddata"})
        routes.RegisterJsonRoute(path, LogoUploadData);
    for (std::string_view path : {"api/menu/logodelete", "logodelete"})
        routes.RegisterJsonRoute(path, LogoDelete);
    for (std::string_view path : {"api/menu/logosfetch", "logosfetch"})
        routes.RegisterRoute(path, LogosFetch);
    for (std::string_view path : {"api/menu/logoservefile", "logoservefile"})
        routes.RegisterRoute(path, LogoServeFile);
    for (std::string_view path : {"api/menu/logouploadfile", "logouploadfile"})
        routes.RegisterUploadRoute(path);
    routes.SetUploadHandler(LogoUploadFile);
}

} // namespace tavolex::menu
