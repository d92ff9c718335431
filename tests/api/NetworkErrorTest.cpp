#include "Json.h"
#include "Models.h"
#include "NetworkError.h"

#include <gtest/gtest.h>

using namespace api;

TEST(NetworkErrorTest, TextsOfEveryCase) {
    EXPECT_EQ(NetworkError::unknownCode(404).description(), "Unknown Error Code: 404");
    EXPECT_EQ(NetworkError::unknownCode(0).description(), "Unknown Error Code: 0");
    EXPECT_EQ(NetworkError::serverError({{401, "Denied", {}}}).description(), "Denied");
    EXPECT_EQ(NetworkError::internalServerError().description(), "Internal Server Error");
    EXPECT_EQ(NetworkError::invalidJSON().description(), "Invalid JSON");
    EXPECT_EQ(NetworkError::invalidRequest().description(), "Invalid Request");
    EXPECT_EQ(NetworkError::noConnection().description(), "No Internet Connection");
    EXPECT_EQ(NetworkError::unknown().description(), "Unknown Error");
    EXPECT_EQ(NetworkError::custom(AnyError::keyNotFound("x")).description(),
              "The data couldn\u2019t be read because it is missing.");
    EXPECT_EQ(NetworkError::invalidResponse(HttpError::unacceptableStatusCode(418)).description(),
              "Invalid Response: Response status code was unacceptable: 418.");
}

TEST(NetworkErrorTest, LocalizedDescriptionIsTheGenericMessageWithTheCasePosition) {
    EXPECT_EQ(NetworkError::noConnection().localizedDescription(),
              "The operation couldn\u2019t be completed. (Korvane.NetworkError error 7.)");
    EXPECT_EQ(NetworkError::invalidResponse(HttpError()).localizedDescription(),
              "The operation couldn\u2019t be completed. (Korvane.NetworkError error 0.)");
    EXPECT_EQ(NetworkError::custom(AnyError::badServerResponse()).localizedDescription(),
              "The operation couldn\u2019t be completed. (Korvane.NetworkError error 1.)");
    EXPECT_EQ(NetworkError::unknown().localizedDescription(),
              "The operation couldn\u2019t be completed. (Korvane.NetworkError error 8.)");
}

TEST(NetworkErrorTest, EqualityIsByText) {
    EXPECT_EQ(NetworkError::custom({"A", 1, "same", ""}),
              NetworkError::custom({"B", 2, "same", ""}));
    EXPECT_NE(NetworkError::unknownCode(500), NetworkError::internalServerError());
    HttpError one = HttpError::unacceptableStatusCode(401);
    HttpError other;
    other.otherDescription = "Response status code was unacceptable: 401.";
    EXPECT_EQ(NetworkError::invalidResponse(one), NetworkError::invalidResponse(other));
    // A server document whose message happens to match another case's text compares equal.
    EXPECT_EQ(NetworkError::serverError({{500, "Invalid Request", {}}}),
              NetworkError::invalidRequest());
}

TEST(NetworkErrorTest, ErrorDocumentNeedsEveryKeyWithItsType) {
    const JsonDecoder decoder;
    auto full =
        decoder.parse(R"({"status":401,"message":"Denied","error":[{"message":"bad password"}]})");
    ASSERT_TRUE(full);
    auto model = ErrorResponseModel::decode(*full);
    ASSERT_TRUE(model);
    EXPECT_EQ(model->status, 401);
    ASSERT_EQ(model->error.size(), 1u);
    EXPECT_EQ(model->error[0].message, "bad password");

    for (const char* broken : {
             R"({"status":401,"message":"Denied"})",
             R"({"message":"Denied","error":[]})",
             R"({"status":"401","message":"Denied","error":[]})",
             R"({"status":401,"message":7,"error":[]})",
             R"({"status":401,"message":"Denied","error":{}})",
             R"({"status":401,"message":"Denied","error":[{}]})",
             R"([1,2])",
         }) {
        auto json = decoder.parse(broken);
        ASSERT_TRUE(json) << broken;
        EXPECT_FALSE(ErrorResponseModel::decode(*json)) << broken;
    }
}

TEST(JsonKeysTest, SnakeCaseConversionBothWays) {
    EXPECT_EQ(convertFromSnakeCase("user_id"), "userId");
    EXPECT_EQ(convertFromSnakeCase("expires_in"), "expiresIn");
    EXPECT_EQ(convertFromSnakeCase("user_ID"), "userId");
    EXPECT_EQ(convertFromSnakeCase("a__b"), "aB");
    EXPECT_EQ(convertFromSnakeCase("_private_key_"), "_privateKey_");
    EXPECT_EQ(convertFromSnakeCase("message"), "message");
    EXPECT_EQ(convertFromSnakeCase("currentDateTime"), "currentDateTime");
    EXPECT_EQ(convertFromSnakeCase("___"), "___");
    EXPECT_EQ(convertFromSnakeCase(""), "");

    EXPECT_EQ(convertToSnakeCase("userName"), "user_name");
    EXPECT_EQ(convertToSnakeCase("myURLValue"), "my_url_value");
    EXPECT_EQ(convertToSnakeCase("password"), "password");

    const JsonDecoder decoder;
    auto nested = decoder.parse(R"({"outer_key":{"inner_key":[{"deep_key":1}]}})");
    ASSERT_TRUE(nested);
    EXPECT_EQ((*nested)["outerKey"]["innerKey"][0]["deepKey"], 1);
}

TEST(ModelsTest, ReplyModelsDecodeSnakeCaseAndRefuseMissingOrMistypedKeys) {
    const JsonDecoder decoder;
    auto signIn =
        decoder.decode<SignInResponse>(R"({"user_id":"7","cookie":"c","expires_in":3600})");
    ASSERT_TRUE(signIn);
    EXPECT_EQ(signIn->userId, "7");
    EXPECT_EQ(signIn->cookie, "c");
    EXPECT_EQ(signIn->expiresIn, 3600);
    EXPECT_FALSE(decoder.decode<SignInResponse>(R"({"user_id":"7","cookie":"c"})"));
    EXPECT_FALSE(decoder.decode<SignInResponse>(R"({"user_id":7,"cookie":"c","expires_in":3600})"));
    EXPECT_FALSE(
        decoder.decode<SignInResponse>(R"({"user_id":"7","cookie":"c","expires_in":1.5})"));
    EXPECT_FALSE(decoder.decode<SignInResponse>(""));

    auto upload = decoder.decode<UploadVideoResponse>(R"({"status":"ok"})");
    ASSERT_TRUE(upload);
    EXPECT_FALSE(upload->message);
    EXPECT_FALSE(upload->filename);
    EXPECT_EQ(UploadVideoResponse({std::nullopt, "f.mp4", "Success"}).toJson().dump(),
              R"({"filename":"f.mp4","status":"Success"})");
    EXPECT_FALSE(decoder.decode<UploadVideoResponse>(R"({"message":"m"})"));
}
