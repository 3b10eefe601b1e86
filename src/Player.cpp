#include "Player.h"

Player Player::INSTANCE;
