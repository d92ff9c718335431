#include "Requests.h"

namespace api {

namespace {
RequestDescriptor postDescriptor(std::string path) {
    RequestDescriptor descriptor;
    descriptor.path = std::move(path);
    descriptor.method = HttpMethod::post;
    descriptor.parameters = std::map<std::string, Json>();
    descriptor.encoding = ParameterEncoding::urlEncodedForm;
    return descriptor;
}
}  // namespace

SignInRequest::SignInRequest(std::string userName_, std::string password_)
    : userName(std::move(userName_)), password(std::move(password_)), request{userName, password} {}

RequestDescriptor SignInRequest::descriptor() const {
    auto descriptor = postDescriptor("/sagevane/auth");
    descriptor.body = encodeSnakeCase(request);
    return descriptor;
}

RequestDescriptor ValidateUserRequest::descriptor() const {
    auto descriptor = postDescriptor("sagevane/login");
    descriptor.headers = HttpHeaders{{"Cookie", m_defaults->string("cookie").value_or("")}};
    return descriptor;
}

RequestDescriptor UploadVideoRequest::descriptor() const {
    auto descriptor = postDescriptor("video/upload");
    descriptor.headers = HttpHeaders();
    descriptor.body = encodeSnakeCase(model);
    return descriptor;
}

}  // namespace api
