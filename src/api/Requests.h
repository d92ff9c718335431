#pragma once

#include "Models.h"
#include "RequestDescriptor.h"

#include "platform/DefaultsStore.h"

#include <string>

namespace api {

class SignInRequest {
  public:
    using ResponseType = SignInResponse;
    SignInRequest(std::string userName, std::string password);
    RequestDescriptor descriptor() const;

    std::string userName;
    std::string password;
    SignInRequestModel request;
};

// Asks the web API whether the stored session cookie is still valid.
class ValidateUserRequest {
  public:
    using ResponseType = ValidateUserResponse;
    explicit ValidateUserRequest(
        platform::DefaultsStore& defaults = platform::DefaultsStore::standard())
        : m_defaults(&defaults) {}
    RequestDescriptor descriptor() const;

  private:
    platform::DefaultsStore* m_defaults;
};

class UploadVideoRequest {
  public:
    using ResponseType = UploadVideoResponse;
    RequestDescriptor descriptor() const;

    UploadVideoRequestModel model;
};

}  // namespace api
