// The local portal's game: an ActionScript 3 movie (compiled by haxe) of the
// kind a Flash-era browser game was. A night landscape with a hero who walks
// with the arrow keys or WASD and walks to where the player clicks; star
// crystals float about and score when the hero or a click reaches them. All
// text is device text in Chinese, as such games were. The movie tells its page
// about itself through ExternalInterface: it calls the page's onGameEvent(event)
// when it is ready and when the score changes, and answers getState() and
// setPlayer(name) called by the page. A chat box at the bottom left: the line the
// player types goes to the page's onGameChat(text) on Enter, and the lines the
// page hands back with chatLine(line) are drawn in the log above it. Where the
// page names a game server, the movie plays with it (Net).
import flash.display.GradientType;
import flash.display.Shape;
import flash.display.Sprite;
import flash.display.StageAlign;
import flash.display.StageScaleMode;
import flash.events.Event;
import flash.events.KeyboardEvent;
import flash.events.MouseEvent;
import flash.external.ExternalInterface;
import flash.geom.Matrix;
import flash.media.Sound;
import flash.media.SoundChannel;
import flash.media.SoundTransform;
import flash.text.TextField;
import flash.text.TextFieldAutoSize;
import flash.text.TextFieldType;
import flash.text.TextFormat;

@:sound("ambience.wav") class AmbienceSound extends Sound {}
@:sound("chime.wav") class ChimeSound extends Sound {}

typedef Crystal = {shape:Shape, x:Float, y:Float, phase:Float};
typedef Ripple = {shape:Shape, age:Float};

class Game extends Sprite {
	// Chinese device text: the player's system font for these names, or the
	// player's default sans-serif font when it has none of them.
	static inline var FONT = "Microsoft YaHei";
	static inline var SPEED = 260.0; // pixels a second
	static inline var CRYSTALS = 5;

	var sky = new Shape();
	var stars = new Array<Shape>();
	var moon = new Shape();
	var ridges = new Shape();
	var ground = new Shape();
	var crystalLayer = new Sprite();
	var hero = new Sprite();
	var effects = new Sprite();
	var title = new TextField();
	var hud = new TextField();
	var help = new TextField();
	var chatLog = new TextField();
	var chatInput = new TextField();
	var chatLines = new Array<String>();
	var chatSent = new Array<String>();

	var crystals = new Array<Crystal>();
	var ripples = new Array<Ripple>();
	var held = new Map<Int, Bool>();
	var target:{x:Float, y:Float} = null;
	var heroX = 0.0;
	var heroY = 0.0;
	var facing = 1;
	var placed = false;
	var w = 0.0;
	var h = 0.0;

	var net:Net = null;
	var netHost = "";
	var gamePort = 0;
	var chatPort = 0;

	var player = "";
	var server = "";
	var score = 0;
	var frames = 0;
	var clicks = 0;
	var keys = 0;
	var lastKey = "";
	var lastTime = 0.0;
	var seed = 12345;
	var music:SoundChannel = null;
	var chime = new ChimeSound();

	static function main() {
		flash.Lib.current.addChild(new Game());
	}

	function new() {
		super();
		var params:Dynamic = flash.Lib.current.loaderInfo.parameters;
		player = params.player != null ? Std.string(params.player) : "";
		server = params.server != null ? Std.string(params.server) : "";
		var fps = Std.parseInt(params.fps != null ? Std.string(params.fps) : "");
		if (fps != null && fps >= 1 && fps <= 120) flash.Lib.current.stage.frameRate = fps;
		// The game server, when the page names one.
		netHost = params.gameHost != null ? Std.string(params.gameHost) : "";
		var port = Std.parseInt(params.gamePort != null ? Std.string(params.gamePort) : "");
		gamePort = port != null ? port : 0;
		port = Std.parseInt(params.chatPort != null ? Std.string(params.chatPort) : "");
		chatPort = port != null ? port : 0;
		if (stage != null) init(null) else addEventListener(Event.ADDED_TO_STAGE, init);
	}

	function init(_) {
		removeEventListener(Event.ADDED_TO_STAGE, init);
		stage.scaleMode = StageScaleMode.NO_SCALE;
		stage.align = StageAlign.TOP_LEFT;

		addChild(sky);
		for (i in 0...4) {
			var layer = new Shape();
			stars.push(layer);
			addChild(layer);
		}
		addChild(moon);
		addChild(ridges);
		addChild(ground);
		addChild(crystalLayer);
		addChild(hero);
		addChild(effects);
		drawHero();

		setupText(title, 44, 0xF3DC9A, true);
		setupText(hud, 18, 0xF1E7D0, false);
		setupText(help, 16, 0xD9CEB4, false);
		title.text = "星陨之原";
		help.text = "方向键 / WASD 移动 · 点击星晶收集 · 空格施法";
		addChild(title);
		addChild(hud);
		addChild(help);
		setupChat();
		if (netHost != "" && gamePort > 0 && chatPort > 0) {
			net = new Net(netHost, gamePort, chatPort, player, server, FONT);
			addChildAt(net, getChildIndex(hero));
		}

		for (i in 0...CRYSTALS) {
			var s = new Shape();
			drawCrystal(s);
			crystalLayer.addChild(s);
			crystals.push({shape: s, x: 0.0, y: 0.0, phase: i * 1.3});
		}

		stage.addEventListener(Event.RESIZE, function(_) layout());
		stage.addEventListener(KeyboardEvent.KEY_DOWN, onKeyDown);
		stage.addEventListener(KeyboardEvent.KEY_UP, function(e:KeyboardEvent) if (!chatting()) held.set(e.keyCode, false));
		stage.addEventListener(MouseEvent.MOUSE_DOWN, onMouseDown);
		stage.addEventListener(Event.DEACTIVATE, function(_) held = new Map());
		addEventListener(Event.ENTER_FRAME, onFrame);
		layout();
		updateHud();

		music = new AmbienceSound().play(0, 1000000, new SoundTransform(0.35));

		if (ExternalInterface.available) {
			ExternalInterface.addCallback("getState", getState);
			ExternalInterface.addCallback("chatLine", function(line:String) {
				addChatLine(line);
				return chatLines.length;
			});
			ExternalInterface.addCallback("setPlayer", function(name:String) {
				player = name;
				updateHud();
				return player;
			});
			report("ready");
		}
	}

	function setupText(field:TextField, size:Int, color:Int, bold:Bool) {
		var format = new TextFormat(FONT, size, color, bold);
		field.defaultTextFormat = format;
		field.selectable = false;
		field.mouseEnabled = false;
		field.autoSize = TextFieldAutoSize.LEFT;
	}

	function setupChat() {
		chatLog.defaultTextFormat = new TextFormat(FONT, 16, 0xF1E7D0);
		chatLog.selectable = false;
		chatLog.mouseEnabled = false;
		chatLog.multiline = true;
		chatLog.wordWrap = true;
		chatLog.width = 380;
		chatLog.height = 120;
		chatInput.defaultTextFormat = new TextFormat(FONT, 16, 0x0B0920);
		chatInput.type = TextFieldType.INPUT;
		chatInput.background = true;
		chatInput.backgroundColor = 0xF1E7D0;
		chatInput.border = true;
		chatInput.borderColor = 0xD8B25C;
		chatInput.maxChars = 60;
		chatInput.width = 380;
		chatInput.height = 26;
		addChild(chatLog);
		addChild(chatInput);
	}

	function chatting() return stage.focus == chatInput;

	function sendChat() {
		var text = StringTools.trim(chatInput.text);
		chatInput.text = "";
		if (text == "") return;
		chatSent.push(text);
		if (ExternalInterface.available) ExternalInterface.call("onGameChat", text);
		// And to the game server's chat, when the movie plays with one.
		if (net != null) net.say(text);
	}

	function addChatLine(line:String) {
		chatLines.push(line);
		while (chatLines.length > 5) chatLines.shift();
		chatLog.text = chatLines.join("\n");
	}

	function report(event:String) {
		if (!ExternalInterface.available) return;
		ExternalInterface.call("onGameEvent", {event: event, player: player, server: server, score: score});
	}

	function getState():Dynamic {
		return {
			frames: frames, score: score, clicks: clicks, keys: keys, lastKey: lastKey,
			player: player, server: server, heroX: heroX, heroY: heroY,
			stageWidth: w, stageHeight: h, frameRate: stage.frameRate,
			title: {x: title.x, y: title.y, width: title.width, height: title.height, text: title.text},
			moon: {x: moon.x, y: moon.y}, hud: hud.text,
			crystals: [for (c in crystals) {x: c.x, y: c.shape.y}],
			chat: {
				x: chatInput.x, y: chatInput.y, width: chatInput.width, height: chatInput.height,
				text: chatInput.text, focused: chatting(), sent: chatSent, lines: chatLines,
				log: {x: chatLog.x, y: chatLog.y, width: chatLog.width, height: chatLog.height}
			},
			// Where the looping music is: it stands still while the player's sound is off.
			musicPosition: music != null ? music.position : -1.0,
			net: net != null ? net.state() : null
		};
	}

	function random():Float {
		// Repeatable positions, so that two runs draw the same scene.
		seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF;
		return seed / 0x7FFFFFFF;
	}

	function groundTop() return h * 0.6;

	function layout() {
		w = stage.stageWidth;
		h = stage.stageHeight;
		if (w <= 0 || h <= 0) return;
		var g = sky.graphics;
		g.clear();
		var m = new Matrix();
		m.createGradientBox(w, h, Math.PI / 2);
		g.beginGradientFill(GradientType.LINEAR, [0x0B0920, 0x2A1F55, 0x5B3A6E], [1, 1, 1], [0, 150, 220], m);
		g.drawRect(0, 0, w, h);
		g.endFill();

		seed = 777;
		for (i in 0...stars.length) {
			var sg = stars[i].graphics;
			sg.clear();
			sg.beginFill(0xFFF6D8);
			for (j in 0...40) sg.drawCircle(random() * w, random() * h * 0.55, 0.6 + random() * 1.4);
			sg.endFill();
		}

		moon.x = w * 0.8;
		moon.y = h * 0.17;
		var mg = moon.graphics;
		mg.clear();
		var glow = new Matrix();
		glow.createGradientBox(280, 280, 0, -140, -140);
		mg.beginGradientFill(GradientType.RADIAL, [0xFFF6D8, 0xF3DC9A, 0xF3DC9A], [0.9, 0.35, 0], [0, 60, 255], glow);
		mg.drawCircle(0, 0, 140);
		mg.endFill();
		mg.beginFill(0xFFF3CF);
		mg.drawCircle(0, 0, 30);
		mg.endFill();

		var rg = ridges.graphics;
		rg.clear();
		ridge(rg, h * 0.5, 70, 0.006, 0, 0x2D2452);
		ridge(rg, h * 0.56, 45, 0.011, 300, 0x1C1637);

		var gt = groundTop();
		var gg = ground.graphics;
		gg.clear();
		var gm = new Matrix();
		gm.createGradientBox(w, h - gt, Math.PI / 2, 0, gt);
		gg.beginGradientFill(GradientType.LINEAR, [0x1A2A2A, 0x0A1010], [1, 1], [0, 255], gm);
		gg.drawRect(0, gt, w, h - gt);
		gg.endFill();
		gg.lineStyle(1, 0x5FC7A4, 0.2);
		for (k in 0...12) {
			var y = gt + Math.pow(k / 11, 1.8) * (h - gt);
			gg.moveTo(0, y);
			gg.lineTo(w, y);
		}

		if (!placed) {
			heroX = w / 2;
			heroY = h * 0.82;
		}
		clampHero();
		seed = 4242;
		for (c in crystals) placeCrystal(c);

		title.x = Math.round((w - title.width) / 2);
		title.y = Math.round(h * 0.06);
		hud.x = 16;
		hud.y = 12;
		help.x = Math.round((w - help.width) / 2);
		help.y = Math.round(h - help.height - 14);
		chatInput.x = 16;
		chatInput.y = Math.round(h - chatInput.height - 48);
		chatLog.x = 16;
		chatLog.y = chatInput.y - chatLog.height - 4;
		if (net != null) net.layout(w, h);
	}

	function ridge(g:flash.display.Graphics, base:Float, amp:Float, freq:Float, off:Float, color:Int) {
		g.beginFill(color);
		g.moveTo(0, h);
		var x = 0.0;
		while (x <= w + 16) {
			var u = (x + off) * freq;
			g.lineTo(x, base - amp * (0.6 * Math.sin(u) + 0.3 * Math.sin(u * 2.3 + 1) + 0.1 * Math.sin(u * 5.1)));
			x += 16;
		}
		g.lineTo(w, h);
		g.endFill();
	}

	function drawHero() {
		var g = hero.graphics;
		g.clear();
		g.beginFill(0x000000, 0.45);
		g.drawEllipse(-26, -4, 52, 16);
		g.endFill();
		g.beginFill(0x7A1F2B); // cloak
		g.moveTo(-8, -52);
		g.curveTo(-30, -20, -24, 2);
		g.lineTo(10, 2);
		g.lineTo(6, -52);
		g.endFill();
		g.beginFill(0xD8B25C); // robe
		g.drawRect(-9, -54, 18, 42);
		g.endFill();
		g.beginFill(0x3A2A14);
		g.drawRect(-8, -12, 6, 14);
		g.drawRect(2, -12, 6, 14);
		g.endFill();
		g.beginFill(0xF1D3B0); // head
		g.drawCircle(0, -64, 10);
		g.endFill();
		g.beginFill(0xD8B25C); // hat
		g.moveTo(-11, -68);
		g.lineTo(0, -82);
		g.lineTo(11, -68);
		g.endFill();
		g.lineStyle(4, 0xDFF6FF); // staff
		g.moveTo(12, -34);
		g.lineTo(40, -66);
	}

	function drawCrystal(s:Shape) {
		var g = s.graphics;
		g.beginFill(0x9FE8FF, 0.25);
		g.drawCircle(0, 0, 20);
		g.endFill();
		g.lineStyle(1.5, 0xFFFFFF, 0.9);
		g.beginFill(0x5FC7E4);
		g.moveTo(0, -16);
		g.lineTo(10, 0);
		g.lineTo(0, 16);
		g.lineTo(-10, 0);
		g.lineTo(0, -16);
		g.endFill();
	}

	function placeCrystal(c:Crystal) {
		var gt = groundTop();
		c.x = 40 + random() * Math.max(1, w - 80);
		c.y = gt + 40 + random() * Math.max(1, h - gt - 90);
		c.shape.x = c.x;
		c.shape.y = c.y;
	}

	function clampHero() {
		heroX = Math.max(30, Math.min(w - 30, heroX));
		heroY = Math.max(groundTop() + 30, Math.min(h - 20, heroY));
		hero.x = heroX;
		hero.y = heroY;
		hero.scaleX = facing;
	}

	function updateHud() {
		var who = player != "" ? player : "未登录";
		hud.text = "服务器 S" + server + "   角色 " + who + "   得分 " + score;
	}

	function onKeyDown(e:KeyboardEvent) {
		if (chatting()) {
			// Typing, not playing; Enter sends the line.
			if (e.keyCode == 13) sendChat();
			return;
		}
		keys++;
		lastKey = Std.string(e.keyCode);
		held.set(e.keyCode, true);
		if (e.keyCode == 32) spell(heroX + facing * 70, heroY - 30);
		else if (isMoveKey(e.keyCode)) target = null;
	}

	static function isMoveKey(code:Int) {
		return code == 37 || code == 38 || code == 39 || code == 40 || code == 65 || code == 87 || code == 68 || code == 83;
	}

	function onMouseDown(e:MouseEvent) {
		if (e.target == chatInput) return;
		if (chatting()) stage.focus = null;
		clicks++;
		var x = e.stageX, y = e.stageY;
		spell(x, y);
		for (c in crystals) {
			if (Math.abs(c.x - x) < 24 && Math.abs(c.y - y) < 24) {
				collect(c);
				return;
			}
		}
		target = {x: x, y: Math.max(y, groundTop() + 30)};
	}

	function collect(c:Crystal) {
		score += 10;
		chime.play(0, 0, new SoundTransform(0.6));
		placeCrystal(c);
		updateHud();
		report("score");
	}

	function spell(x:Float, y:Float) {
		var s = new Shape();
		s.x = x;
		s.y = y;
		effects.addChild(s);
		ripples.push({shape: s, age: 0.0});
	}

	function onFrame(_) {
		var now = flash.Lib.getTimer() / 1000;
		var dt = lastTime == 0 ? 1 / stage.frameRate : Math.min(0.1, now - lastTime);
		lastTime = now;
		frames++;
		step(dt);

		for (i in 0...stars.length) stars[i].alpha = 0.55 + 0.45 * Math.abs(Math.sin(now * 1.1 + i * 0.9));
		for (c in crystals) {
			c.phase += dt * 2.4;
			c.shape.y = c.y + Math.sin(c.phase) * 5;
			c.shape.rotation = Math.sin(c.phase * 0.7) * 12;
		}
		var i = ripples.length;
		while (i-- > 0) {
			var r = ripples[i];
			r.age += dt;
			var a = 1 - r.age / 0.9;
			if (a <= 0) {
				effects.removeChild(r.shape);
				ripples.splice(i, 1);
				continue;
			}
			var g = r.shape.graphics;
			g.clear();
			g.lineStyle(3, 0xF3DC9A, a);
			g.drawCircle(0, 0, 10 + r.age * 120);
			g.lineStyle(1.5, 0x5FC7A4, a * 0.7);
			g.drawCircle(0, 0, 4 + r.age * 70);
		}
		hero.y = heroY + Math.sin(now * 8) * 3;
	}

	function step(dt:Float) {
		var vx = 0, vy = 0;
		if (held.get(37) || held.get(65)) vx -= 1;
		if (held.get(39) || held.get(68)) vx += 1;
		if (held.get(38) || held.get(87)) vy -= 1;
		if (held.get(40) || held.get(83)) vy += 1;
		if (vx != 0 || vy != 0) {
			placed = true;
			var n = Math.sqrt(vx * vx + vy * vy);
			heroX += vx / n * SPEED * dt;
			heroY += vy / n * SPEED * dt * 0.6;
			if (vx != 0) facing = vx > 0 ? 1 : -1;
		} else if (target != null) {
			placed = true;
			var dx = target.x - heroX, dy = target.y - heroY;
			var d = Math.sqrt(dx * dx + dy * dy);
			if (d < 4) target = null;
			else {
				var s = Math.min(d, SPEED * dt);
				heroX += dx / d * s;
				heroY += dy / d * s;
				if (Math.abs(dx) > 1) facing = dx > 0 ? 1 : -1;
			}
		}
		clampHero();
		if (net != null && w > 0 && h > 0) net.hero(heroX / w, heroY / h);
		for (c in crystals) {
			if (Math.abs(c.x - heroX) < 26 && Math.abs(c.y - heroY + 30) < 40) collect(c);
		}
	}
}
