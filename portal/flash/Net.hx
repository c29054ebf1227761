// The movie's side of the game server (portal/game_server.py): a binary
// Socket for play (the hero's moves go out, the other players walking about and
// the server's clock come in, as lines of text) and an XMLSocket for the chat
// log (zero-ended XML documents). What the server sends is drawn here: the
// walkers with their names, the clock at the top right, the last chat lines at
// the bottom right.
import flash.display.Sprite;
import flash.events.DataEvent;
import flash.events.Event;
import flash.events.IOErrorEvent;
import flash.events.ProgressEvent;
import flash.events.SecurityErrorEvent;
import flash.net.Socket;
import flash.net.XMLSocket;
import flash.text.TextField;
import flash.text.TextFieldAutoSize;
import flash.text.TextFormat;
import flash.utils.ByteArray;

typedef Walker = {sprite:Sprite, x:Float, y:Float};

class Net extends Sprite {
	static inline var CHAT_LINES = 5;
	static inline var NAMES = "巡逻兵,药师,游侠";

	var game = new Socket();
	var chat = new XMLSocket();
	var host:String;
	var player:String;
	var server:String;
	var pending = "";
	var walkers = new Map<Int, Walker>();
	var clockField = new TextField();
	var chatField = new TextField();
	var lines = new Array<String>();
	var w = 0.0;
	var h = 0.0;
	var lastX = -1.0;
	var lastY = -1.0;
	var lastSent = 0;

	// What tests and the page can read (getState().net).
	var gameState = "connecting";
	var chatState = "connecting";
	var clock = "";
	var received = 0;
	var said = new Array<String>();

	public function new(host:String, gamePort:Int, chatPort:Int, player:String, server:String, font:String) {
		super();
		this.host = host;
		this.player = player;
		this.server = server;
		mouseEnabled = false;
		mouseChildren = false;
		setupText(clockField, font, 16, 0xF3DC9A);
		setupText(chatField, font, 16, 0xF1E7D0);
		clockField.text = "正在连接服务器…";
		addChild(clockField);
		addChild(chatField);

		game.addEventListener(Event.CONNECT, function(_) {
			gameState = "open";
			send("hello " + (player != "" ? player : "-") + " " + (server != "" ? server : "-"));
		});
		game.addEventListener(ProgressEvent.SOCKET_DATA, onGameData);
		game.addEventListener(Event.CLOSE, function(_) lost("close"));
		game.addEventListener(IOErrorEvent.IO_ERROR, function(_) lost("ioerror"));
		game.addEventListener(SecurityErrorEvent.SECURITY_ERROR, function(_) lost("securityerror"));
		chat.addEventListener(Event.CONNECT, function(_) chatState = "open");
		chat.addEventListener(DataEvent.DATA, onChat);
		chat.addEventListener(Event.CLOSE, function(_) chatState = "close");
		chat.addEventListener(IOErrorEvent.IO_ERROR, function(_) chatState = "ioerror");
		chat.addEventListener(SecurityErrorEvent.SECURITY_ERROR, function(_) chatState = "securityerror");
		try {
			game.connect(host, gamePort);
		} catch (e:Dynamic) {
			lost("securityerror");
		}
		try {
			chat.connect(host, chatPort);
		} catch (e:Dynamic) {
			chatState = "securityerror";
		}
	}

	function setupText(field:TextField, font:String, size:Int, color:Int) {
		field.defaultTextFormat = new TextFormat(font, size, color);
		field.selectable = false;
		field.mouseEnabled = false;
		field.autoSize = TextFieldAutoSize.LEFT;
	}

	public function layout(width:Float, height:Float) {
		w = width;
		h = height;
		for (walker in walkers) place(walker);
		placeTexts();
	}

	function placeTexts() {
		// Under the top right corner, where the game page shows its own panel.
		clockField.x = Math.round(w - clockField.width - 16);
		clockField.y = 80;
		// The server's chat log at the bottom right: the player's chat box holds the left.
		chatField.x = Math.round(w - chatField.width - 16);
		chatField.y = Math.round(h - chatField.height - 44);
	}

	// The hero's place as parts of the stage, sent when it changed, ten times a second at most.
	public function hero(x:Float, y:Float) {
		if (gameState != "open") return;
		var now = flash.Lib.getTimer();
		if (now - lastSent < 100 || (Math.abs(x - lastX) < 0.001 && Math.abs(y - lastY) < 0.001)) return;
		lastSent = now;
		lastX = x;
		lastY = y;
		send("move " + Std.string(Math.round(x * 1000) / 1000) + " " + Std.string(Math.round(y * 1000) / 1000));
	}

	// A chat line of the player's.
	public function say(text:String):Bool {
		if (chatState != "open" || text == "") return false;
		said.push(text);
		chat.send("<say>" + StringTools.htmlEscape(text) + "</say>");
		return true;
	}

	function send(line:String) {
		var bytes = new ByteArray();
		bytes.writeUTFBytes(line + "\n");
		game.writeBytes(bytes);
		game.flush();
	}

	function lost(how:String) {
		gameState = how;
		clockField.text = "与服务器的连接已断开";
		placeTexts();
	}

	function onGameData(_) {
		pending += game.readUTFBytes(game.bytesAvailable);
		var end = pending.indexOf("\n");
		while (end >= 0) {
			handle(pending.substr(0, end));
			pending = pending.substr(end + 1);
			end = pending.indexOf("\n");
		}
		// A server that never ends its line does not get to fill the movie's memory.
		if (pending.length > 4096) pending = "";
	}

	function handle(line:String) {
		received++;
		var words = line.split(" ");
		if (words[0] == "walker" && words.length == 4) {
			var id = Std.parseInt(words[1]);
			if (id == null || id < 1 || id > 16) return;
			var walker = walkers.get(id);
			if (walker == null) {
				walker = {sprite: drawWalker(id), x: 0.0, y: 0.0};
				walkers.set(id, walker);
				addChildAt(walker.sprite, 0);
			}
			walker.x = Std.parseFloat(words[2]);
			walker.y = Std.parseFloat(words[3]);
			place(walker);
		} else if (words[0] == "clock" && words.length == 2) {
			clock = words[1];
			clockField.text = "服务器时间 " + clock;
			placeTexts();
		}
	}

	function place(walker:Walker) {
		walker.sprite.x = walker.x * w;
		walker.sprite.y = walker.y * h;
	}

	function drawWalker(id:Int):Sprite {
		var s = new Sprite();
		var colors = [0x5FC7A4, 0xE08A5F, 0x9F8FE8];
		var g = s.graphics;
		g.beginFill(0x000000, 0.4);
		g.drawEllipse(-18, -3, 36, 10);
		g.endFill();
		g.beginFill(colors[(id - 1) % colors.length]);
		g.drawRect(-7, -44, 14, 38);
		g.endFill();
		g.beginFill(0xF1D3B0);
		g.drawCircle(0, -52, 8);
		g.endFill();
		var name = new TextField();
		name.defaultTextFormat = new TextFormat(clockField.defaultTextFormat.font, 13, 0xFFFFFF);
		name.selectable = false;
		name.autoSize = TextFieldAutoSize.LEFT;
		var names = NAMES.split(",");
		name.text = id <= names.length ? names[id - 1] : "玩家" + id;
		name.x = -name.width / 2;
		name.y = -80;
		s.addChild(name);
		return s;
	}

	function onChat(e:DataEvent) {
		var chatLine = ~/^<chat from=["']([^"']*)["']>([^<]*)<\/chat>$/;
		if (!chatLine.match(e.data)) return;
		lines.push(StringTools.htmlUnescape(chatLine.matched(1)) + "：" + StringTools.htmlUnescape(chatLine.matched(2)));
		while (lines.length > CHAT_LINES) lines.shift();
		chatField.text = lines.join("\n");
		placeTexts();
	}

	public function state():Dynamic {
		return {
			game: gameState, chat: chatState, clock: clock, received: received,
			walkers: [for (id in walkers.keys()) {id: id, x: walkers.get(id).sprite.x, y: walkers.get(id).sprite.y}],
			chatLines: lines.copy(), said: said.copy()
		};
	}
}
