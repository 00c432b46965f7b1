#include "profile/game_profile.h"

GameProfileRecord GameProfile;

void ResetGameProfile() { GameProfile = GameProfileRecord{}; }
