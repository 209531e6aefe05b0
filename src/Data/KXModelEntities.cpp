// The entity table of the model: every entity's name, class, number,
// parent, properties and the factory that makes its objects. Kept apart from
// KXModel.cpp so that the model itself does not depend on the object
// classes; only this table names them.

#include "Data/KXModel.h"

#include <memory>
#include <vector>

#include "Data/Attachment.h"
#include "Data/DbState.h"
#include "Data/FailedInfo.h"
#include "Data/FileMeta.h"
#include "Data/Image.h"
#include "Data/KXManagedObject.h"
#include "Data/NormalFile.h"
#include "Data/Note.h"
#include "Data/Notebook.h"
#include "Data/OperationLog.h"
#include "Data/PenEntry.h"
#include "Data/Remind.h"
#include "Data/Resource.h"
#include "Data/ResourceEntry.h"
#include "Data/Root.h"
#include "Data/ShareLink.h"
#include "Data/Statistic.h"
#include "Data/Tag.h"
#include "Data/User.h"

namespace {

using T = KXAttributeType;

template <class C>
KXEntityDescription::Factory Make() {
  return [] { return std::shared_ptr<KXManagedObject>(std::make_shared<C>()); };
}

// A class for the entities that have no code of their own.
class PlainObject final : public KXManagedObject {
 public:
  PlainObject() = default;
};

}  // namespace

// Entity numbers are stored in Z_ENT: never change them.
std::vector<KXModel::EntitySpec> KXModel::entitySpecs() {
  return {
      {"FileMeta", "FileMeta", 1, "",
       {{"fileId", T::String},          {"parentId", T::String},
        {"title", T::String},           {"namePath", T::String},
        {"dir", T::Boolean},            {"domain", T::Integer},
        {"entryType", T::Integer},      {"noteType", T::Integer},
        {"orgEditorType", T::Integer},  {"version", T::Integer},
        {"createTime", T::Time},        {"modifyTime", T::Time},
        {"transactionId", T::String},   {"transactionTime", T::Time},
        {"del", T::Boolean},            {"deleted", T::Boolean},
        {"remoteRemoved", T::Boolean},  {"localModified", T::Integer},
        {"contentChanged", T::Boolean}, {"localTrashOp", T::Boolean},
        {"trashModifyData", T::String}, {"localModifyData", T::String},
        {"contentSynced", T::Boolean},  {"encrypted", T::Boolean},
        {"favorited", T::Boolean},      {"stick", T::Boolean},
        {"stickTime", T::Time},         {"tags", T::String},
        {"summary", T::String},         {"size", T::Integer},
        {"resourceSize", T::Integer},   {"checksum", T::String},
        {"md5", T::String},             {"author", T::String},
        {"sourceURL", T::String},       {"shareType", T::Integer},
        {"public_link", T::String},     {"public_key", T::String},
        {"ownerId", T::String},         {"ownerName", T::String},
        {"ownerFigure", T::String},     {"thumbUrl", T::String},
        {"bgImageId", T::String},       {"rightOfControl", T::Boolean},
        {"entryProps", T::Bytes},       {"hasIndex", T::Boolean}},
       {{"shareLinkInfo", false, "ShareLink", ""}, {"resources", true, "Resource", "notes"}},
       Make<FileMeta>()},
      {"Note", "Note", 2, "FileMeta", {}, {}, Make<Note>()},
      {"Notebook", "Notebook", 3, "FileMeta", {{"noteCount", T::Integer}}, {}, Make<Notebook>()},
      {"NormalFile", "NormalFile", 4, "FileMeta", {}, {}, Make<NormalFile>()},
      {"Root", "Root", 5, "Notebook", {}, {}, Make<Root>()},
      {"Resource", "Resource", 6, "",
       {{"fileId", T::String},         {"title", T::String},
        {"meidaType", T::String},      {"size", T::Integer},
        {"version", T::Integer},       {"hashCode", T::String},
        {"remoteURL", T::String},      {"remoteSrc", T::String},
        {"imageSize", T::String},      {"resOwner", T::String},
        {"isLocal", T::Boolean},       {"localModified", T::Boolean},
        {"isWritable", T::Boolean},    {"comments", T::String},
        {"createTime", T::Time},       {"modifyTime", T::Time},
        {"lastAccessTime", T::Time},   {"access", T::Integer},
        {"position", T::Integer},      {"isHub", T::Boolean}},
       {{"entry", false, "ResourceEntry", "resourceHolders"},
        {"notes", true, "FileMeta", "resources"}},
       Make<Resource>()},
      {"Image", "Image", 7, "Resource",
       {{"colorspace", T::Integer},
        {"width", T::Integer},
        {"height", T::Integer},
        {"manufacturer", T::String},
        {"model", T::String}},
       {},
       Make<Image>()},
      {"Attachment", "Attachment", 8, "Resource",
       {{"isPreviewable", T::Boolean}, {"previewIconsPath", T::String}},
       {},
       Make<Attachment>()},
      {"Remind", "Remind", 9, "Resource",
       {{"isChecked", T::Boolean},
        {"isRemind", T::Boolean},
        {"startTime", T::Time},
        {"endTime", T::Time},
        {"interval", T::Integer},
        {"subject", T::String},
        {"content", T::String}},
       {},
       Make<Remind>()},
      {"ResourceEntry", "ResourceEntry", 10, "",
       {{"uuid", T::String},
        {"file", T::String},
        {"entryID", T::Integer},
        {"dataHash", T::String},
        {"mimeType", T::String}},
       {{"resourceHolders", true, "Resource", "entry"}},
       Make<ResourceEntry>()},
      {"Tag", "Tag", 11, "",
       {{"tagId", T::String},
        {"pTagId", T::String},
        {"name", T::String},
        {"dateCreated", T::Time},
        {"dateUpdated", T::Time},
        {"isLocalCreated", T::Boolean},
        {"isLocalModified", T::Boolean},
        {"isLocalRemoved", T::Boolean}},
       {},
       Make<Tag>()},
      {"User", "User", 12, "",
       {{"userId", T::String},          {"nickname", T::String},
        {"authType", T::String},        {"password", T::String},
        {"defaultFolder", T::String},   {"userSpaceQuota", T::String},
        {"userSpaceUsed", T::String},   {"userVersionQuota", T::String},
        {"deltaSpaceQuota", T::String}, {"deltaSpacePeriod", T::String},
        {"inviteCode", T::String},      {"inviteQuota", T::String},
        {"maxMailReceiversNum", T::String}, {"maxSendMailSize", T::String},
        {"sendMailBanned", T::String},  {"sendMailInterval", T::String},
        {"registerTime", T::String},    {"lastLoginTime", T::String},
        {"lastPushTime", T::String},    {"lastUseTime", T::String},
        {"totalOnlineTime", T::String}, {"tagVersion", T::Integer},
        {"userType", T::Integer},       {"is_vip", T::Integer},
        {"org_trial_ts", T::Integer},   {"org_purchase_ts", T::Integer},
        {"localModified", T::Boolean},  {"selfInfo", T::Bytes}},
       {},
       Make<User>()},
      {"DbState", "DbState", 13, "", {{"stateKey", T::String}, {"stateValue", T::Any}}, {},
       Make<DbState>()},
      {"ShareLink", "ShareLink", 14, "",
       {{"entryId", T::String}, {"shareUrl", T::String}, {"searchEngineEnable", T::Boolean}},
       {},
       Make<ShareLink>()},
      {"CloudPen", "PenEntry", 15, "",
       {{"entryId", T::String},
        {"typeId", T::String},
        {"userId", T::String},
        {"name", T::String},
        {"entryType", T::Integer},
        {"version", T::Integer},
        {"fileSize", T::Integer},
        {"createTime", T::Time},
        {"modifyTime", T::Time},
        {"erased", T::Boolean},
        {"favorited", T::Boolean},
        {"active", T::Boolean},
        {"modDeleted", T::Boolean},
        {"penNoteDelete", T::Boolean}},
       {},
       Make<PenEntry>()},
      {"FailedInfo", "FailedInfo", 16, "",
       {{"fileId", T::String}, {"entryJson", T::String}, {"retry", T::Integer}},
       {},
       Make<FailedInfo>()},
      {"Statistic", "Statistic", 17, "", {{"statisKey", T::String}, {"statisValue", T::Integer}},
       {},
       Make<Statistic>()},
      {"OperationLog", "OperationLog", 18, "", {{"opType", T::Integer}, {"opData", T::Bytes}}, {},
       Make<OperationLog>()},
      {"Log", "Log", 19, "",
       {{"time", T::Time}, {"entry", T::String}, {"operation", T::String}, {"data", T::Bytes}},
       {},
       Make<PlainObject>()},
      {"Account", "Account", 20, "", {{"userId", T::String}, {"nickname", T::String}}, {},
       Make<PlainObject>()},
      {"GlobalAccount", "GlobalAccount", 21, "",
       {{"username", T::String}, {"nickname", T::String}, {"authType", T::Integer}},
       {},
       Make<PlainObject>()},
      {"Config", "Config", 22, "",
       {{"appLayout", T::Integer},
        {"splitPosition", T::Integer},
        {"windowPosition", T::Integer},
        {"lastOperation", T::Bytes},
        {"lockScreenPassword", T::String}},
       {},
       Make<PlainObject>()},
  };
}
